// The Windows side of a device server's connection: Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h.
#include <mstcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "channel/clock.h"
#include "channel/net.h"

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

// Waits until `socket` can be written (`writing`) or read, at most `us` microseconds.
bool readyUs(SOCKET socket, bool writing, int32_t us) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(socket, &failed);
    timeval limit{us / 1000000, us % 1000000};
    return select(0, writing ? nullptr : &set, writing ? &set : nullptr, &failed, &limit) > 0 &&
           FD_ISSET(socket, &set);
}

bool ready(SOCKET socket, bool writing, int32_t ms) {
    return readyUs(socket, writing, ms * 1000);
}

// A name being resolved on a thread of its own, so that a resolver that does not answer cannot
// hold the run: the caller waits for `done` until its deadline. A resolution given up keeps its
// slot (the thread may still write into it); there are enough for the opens of one run.
struct Resolution {
    char host[256];
    char service[8];
    addrinfo* found;
    int status;
    HANDLE done;
    bool busy;
};
Resolution resolutions[4];

DWORD WINAPI resolve(void* context) {
    Resolution& resolution = *static_cast<Resolution*>(context);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    resolution.status = getaddrinfo(resolution.host, resolution.service, &hints, &resolution.found);
    SetEvent(resolution.done);
    return 0;
}

// The addresses of `host`, found no later than `untilMs`: 0, or an error code.
int resolveWithin(const char* host, uint16_t port, int32_t untilMs, addrinfo** found) {
    // An address needs no resolver.
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    if (getaddrinfo(host, service, &hints, found) == 0) {
        return 0;
    }
    Resolution* resolution = nullptr;
    for (Resolution& slot : resolutions) {
        if (!slot.busy && resolution == nullptr) {
            resolution = &slot;
        }
    }
    if (resolution == nullptr || std::strlen(host) >= sizeof resolution->host) {
        return ERROR_NAME_NOT_RESOLVED;
    }
    resolution->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (resolution->done == nullptr) {
        return ERROR_NAME_NOT_RESOLVED;
    }
    resolution->busy = true;
    std::snprintf(resolution->host, sizeof resolution->host, "%s", host);
    std::snprintf(resolution->service, sizeof resolution->service, "%s", service);
    resolution->found = nullptr;
    HANDLE thread = CreateThread(nullptr, 0, &resolve, resolution, 0, nullptr);
    if (thread == nullptr) {
        resolve(resolution);
    } else {
        CloseHandle(thread);
    }
    if (WaitForSingleObject(resolution->done, static_cast<DWORD>(clock::msLeft(untilMs, 60000))) !=
        WAIT_OBJECT_0) {
        return ERROR_NAME_TOO_SLOW;
    }
    CloseHandle(resolution->done);
    resolution->busy = false;
    if (resolution->status != 0 || resolution->found == nullptr) {
        return ERROR_NAME_NOT_RESOLVED;
    }
    *found = resolution->found;
    return 0;
}

// A loopback address (127.x.x.x, ::1): one that answers at once or not at all.
bool isLoopback(const addrinfo* address) {
    if (address->ai_family == AF_INET) {
        const auto* ip = reinterpret_cast<const sockaddr_in*>(address->ai_addr);
        return (ntohl(ip->sin_addr.s_addr) >> 24) == 127;
    }
    return address->ai_family == AF_INET6 &&
           IN6_IS_ADDR_LOOPBACK(
               &reinterpret_cast<const sockaddr_in6*>(address->ai_addr)->sin6_addr);
}

// A loopback address tried before another is given this long: Windows answers a refused
// connection by sending its SYN again for about 2 s, so "localhost" (::1, then 127.0.0.1) would
// reach a server that listens on IPv4 alone only then.
constexpr int32_t LOOPBACK_ATTEMPT_MS = 250;

// Connects to one address no later than `untilMs`: the socket, or INVALID_SOCKET with *error
// set.
SOCKET connectWithin(const addrinfo* address, int32_t untilMs, int* error) {
    SOCKET socket = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (socket == INVALID_SOCKET) {
        *error = WSAGetLastError();
        return socket;
    }
    u_long nonBlocking = 1;
    ioctlsocket(socket, static_cast<long>(FIONBIO), &nonBlocking);
    if (isLoopback(address)) {
        // Refused at once, not after the SYN is sent again (Windows 8 and later; others
        // refuse the request and keep their retries).
        TCP_INITIAL_RTO_PARAMETERS once{TCP_INITIAL_RTO_UNSPECIFIED_RTT,
                                        TCP_INITIAL_RTO_NO_SYN_RETRANSMISSIONS};
        DWORD returned = 0;
        WSAIoctl(socket, SIO_TCP_INITIAL_RTO, &once, sizeof once, nullptr, 0, &returned, nullptr,
                 nullptr);
    }
    if (::connect(socket, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        *error = WSAGetLastError();
        closesocket(socket);
        return INVALID_SOCKET;
    }
    if (!ready(socket, true, clock::msLeft(untilMs, 60000))) {
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

int connectTo(const char* host, uint16_t port, int32_t untilMs, Socket* socket) {
    if (!started()) {
        return WSASYSNOTREADY;
    }
    addrinfo* found = nullptr;
    const int resolved = resolveWithin(host, port, untilMs, &found);
    if (resolved != 0) {
        return resolved;
    }
    int error = WSAECONNREFUSED;
    SOCKET connected = INVALID_SOCKET;
    for (const addrinfo* address = found; address != nullptr && connected == INVALID_SOCKET;
         address = address->ai_next) {
        const bool last = address->ai_next == nullptr;
        const int32_t attemptUntilMs =
            !last && isLoopback(address) ? clock::nowMs() + LOOPBACK_ATTEMPT_MS : untilMs;
        connected =
            connectWithin(address, attemptUntilMs < untilMs ? attemptUntilMs : untilMs, &error);
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

int32_t sendSome(Socket socket, const uint8_t* bytes, size_t count, int32_t waitMs) {
    const SOCKET s = static_cast<SOCKET>(socket);
    const int put = ::send(s, reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0);
    if (put < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        ready(s, true, waitMs);
        return 0;
    }
    return put > 0 ? put : -1;
}

int32_t receiveBytes(Socket socket, uint8_t* bytes, size_t count, int32_t waitUs) {
    const SOCKET s = static_cast<SOCKET>(socket);
    if (!readyUs(s, false, waitUs)) {
        return 0;
    }
    const int got = ::recv(s, reinterpret_cast<char*>(bytes), static_cast<int>(count), 0);
    return got > 0 ? got : got == 0 || WSAGetLastError() != WSAEWOULDBLOCK ? -1 : 0;
}

void closeSocket(Socket socket) {
    closesocket(static_cast<SOCKET>(socket));
}

}  // namespace platform
}  // namespace qorv
