// The POSIX side of a device server's connection: sockets, poll() and getaddrinfo().
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "channel/net_port.h"

namespace qorv {
namespace platform {

namespace {

// Connects to one address within `limitMs`: the socket, or minus the error.
int connectWithin(const addrinfo* address, int limitMs) {
    const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                            address->ai_protocol);
    if (fd < 0) {
        return -errno;
    }
    if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0 && errno != EINPROGRESS) {
        const int error = errno;
        ::close(fd);
        return -error;
    }
    pollfd done{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    if (poll(&done, 1, limitMs) <= 0) {
        error = ETIMEDOUT;
    } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::close(fd);
        return -error;
    }
    return fd;
}

// Acknowledges what comes at once instead of up to 40 ms later. A server that writes its
// answers without TCP_NODELAY (ser2net does) holds each small write back until the one before
// it is acknowledged, and this side, waiting for an answer, has nothing to send the
// acknowledgement with. Linux leaves the quick mode again by itself, so it is asked for before
// every wait.
void quickAck(int fd) {
#ifdef TCP_QUICKACK
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    (void)fd;
#endif
}

}  // namespace

int connectTo(const char* host, const char* port, int limitMs, Socket* socket) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0 || found == nullptr) {
        return ERROR_NAME_NOT_RESOLVED;
    }
    int fd = -ECONNREFUSED;
    for (const addrinfo* address = found; address != nullptr && fd < 0;
         address = address->ai_next) {
        fd = connectWithin(address, limitMs);
    }
    freeaddrinfo(found);
    if (fd < 0) {
        return -fd;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    *socket = fd;
    return 0;
}

int32_t sendSome(Socket socket, const uint8_t* bytes, size_t count, int waitMs) {
    const int fd = static_cast<int>(socket);
    const ssize_t put = ::send(fd, bytes, count, MSG_NOSIGNAL);
    if (put < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd room{fd, POLLOUT, 0};
        poll(&room, 1, waitMs);
        return 0;
    }
    return put > 0 ? static_cast<int32_t>(put) : -1;
}

int32_t receiveBytes(Socket socket, uint8_t* bytes, size_t count, int waitMs) {
    const int fd = static_cast<int>(socket);
    quickAck(fd);
    pollfd watch{fd, POLLIN, 0};
    if (poll(&watch, 1, waitMs) <= 0) {
        return 0;
    }
    const ssize_t got = ::recv(fd, bytes, count, 0);
    return got > 0 ? static_cast<int32_t>(got) : got == 0 || errno != EAGAIN ? -1 : 0;
}

void closeSocket(Socket socket) {
    ::close(static_cast<int>(socket));
}

int64_t monotonicNowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace platform
}  // namespace qorv
