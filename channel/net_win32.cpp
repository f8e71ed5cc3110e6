// The Windows side of a device server's connection: Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h.
#include <mstcpip.h>
#include <windows.h>

#include "channel/net_port.h"

namespace qorv {
namespace platform {

namespace {

bool started() {
    static const bool done = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return done;
}

// Waits until `socket` can be written (`writing`) or read, at most `ms`.
bool ready(SOCKET socket, bool writing, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(socket, &failed);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    return select(0, writing ? nullptr : &set, writing ? &set : nullptr, &failed, &limit) > 0 &&
           FD_ISSET(socket, &set);
}

// Connects to one address within `limitMs`: the socket, or INVALID_SOCKET with *error set.
SOCKET connectWithin(const addrinfo* address, int limitMs, int* error) {
    SOCKET socket = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (socket == INVALID_SOCKET) {
        *error = WSAGetLastError();
        return socket;
    }
    u_long nonBlocking = 1;
    ioctlsocket(socket, static_cast<long>(FIONBIO), &nonBlocking);
    if (::connect(socket, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        *error = WSAGetLastError();
        closesocket(socket);
        return INVALID_SOCKET;
    }
    if (!ready(socket, true, limitMs)) {
        int code = 0;
        int size = sizeof code;
        getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &size);
        *error = code != 0 ? code : WSAETIMEDOUT;
        closesocket(socket);
        return INVALID_SOCKET;
    }
    return socket;
}

}  // namespace

int connectTo(const char* host, const char* port, int limitMs, Socket* socket) {
    if (!started()) {
        return WSASYSNOTREADY;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0 || found == nullptr) {
        return ERROR_NAME_NOT_RESOLVED;
    }
    int error = WSAECONNREFUSED;
    SOCKET connected = INVALID_SOCKET;
    for (const addrinfo* address = found; address != nullptr && connected == INVALID_SOCKET;
         address = address->ai_next) {
        connected = connectWithin(address, limitMs, &error);
    }
    freeaddrinfo(found);
    if (connected == INVALID_SOCKET) {
        return error;
    }
    const BOOL on = TRUE;
    setsockopt(connected, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // Every segment acknowledged at once, not after up to 200 ms: a server that writes without
    // TCP_NODELAY (ser2net does) holds each small answer back until the one before it is
    // acknowledged. Systems that do not know the request keep their delay.
    TCP_ACK_FREQUENCY_PARAMETERS everySegment{1};
    DWORD returned = 0;
    WSAIoctl(connected, SIO_TCP_SET_ACK_FREQUENCY, &everySegment, sizeof everySegment, nullptr, 0,
             &returned, nullptr, nullptr);
    *socket = static_cast<Socket>(connected);
    return 0;
}

int32_t sendSome(Socket socket, const uint8_t* bytes, size_t count, int waitMs) {
    const SOCKET s = static_cast<SOCKET>(socket);
    const int put = ::send(s, reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0);
    if (put < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        ready(s, true, waitMs);
        return 0;
    }
    return put > 0 ? put : -1;
}

int32_t receiveBytes(Socket socket, uint8_t* bytes, size_t count, int waitMs) {
    const SOCKET s = static_cast<SOCKET>(socket);
    if (!ready(s, false, waitMs)) {
        return 0;
    }
    const int got = ::recv(s, reinterpret_cast<char*>(bytes), static_cast<int>(count), 0);
    return got > 0 ? got : got == 0 || WSAGetLastError() != WSAEWOULDBLOCK ? -1 : 0;
}

void closeSocket(Socket socket) {
    closesocket(static_cast<SOCKET>(socket));
}

int64_t monotonicNowMs() {
    return static_cast<int64_t>(GetTickCount64());
}

}  // namespace platform
}  // namespace qorv
