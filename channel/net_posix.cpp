// The POSIX side of a device server's connection: sockets, poll() and getaddrinfo().
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "channel/clock.h"
#include "channel/net.h"
#include "channel/poll_posix.h"

namespace qorv {
namespace platform {

namespace {

// A name being resolved on a thread of its own, so that a resolver that does not answer cannot
// hold the run: the caller waits on `done` until its deadline. A resolution given up keeps its
// slot (the thread may still write into it); there are enough for the opens of one run.
struct Resolution {
    char host[256];
    char service[8];
    addrinfo* found;
    int status;
    int done[2];  // a pipe: the thread writes one byte when it has finished
    bool busy;
};
Resolution resolutions[4];

void* resolve(void* context) {
    Resolution& resolution = *static_cast<Resolution*>(context);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    resolution.status = getaddrinfo(resolution.host, resolution.service, &hints, &resolution.found);
    const char byte = 1;
    while (::write(resolution.done[1], &byte, 1) < 0 && errno == EINTR) {
    }
    return nullptr;
}

// The addresses of `host`, found no later than `untilMs`: 0, or an error code.
int resolveWithin(const char* host, uint16_t port, int32_t untilMs, addrinfo** found) {
    // An address needs no resolver.
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
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
    if (resolution == nullptr || std::strlen(host) >= sizeof resolution->host ||
        pipe(resolution->done) != 0) {
        return ERROR_NAME_NOT_RESOLVED;
    }
    resolution->busy = true;
    std::snprintf(resolution->host, sizeof resolution->host, "%s", host);
    std::snprintf(resolution->service, sizeof resolution->service, "%s", service);
    resolution->found = nullptr;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, &resolve, resolution) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) {
        resolve(resolution);
    }
    pollfd finished{resolution->done[0], POLLIN, 0};
    if (pollUntil(&finished, untilMs) <= 0) {
        return ERROR_NAME_TOO_SLOW;
    }
    ::close(resolution->done[0]);
    ::close(resolution->done[1]);
    resolution->busy = false;
    if (resolution->status != 0 || resolution->found == nullptr) {
        return ERROR_NAME_NOT_RESOLVED;
    }
    *found = resolution->found;
    return 0;
}

// Connects to one address no later than `untilMs`: the socket, or minus the error.
int connectWithin(const addrinfo* address, int32_t untilMs) {
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
    if (pollUntil(&done, untilMs) <= 0) {
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

int connectTo(const char* host, uint16_t port, int32_t untilMs, Socket* socket) {
    addrinfo* found = nullptr;
    const int resolved = resolveWithin(host, port, untilMs, &found);
    if (resolved != 0) {
        return resolved;
    }
    int fd = -ECONNREFUSED;
    for (const addrinfo* address = found; address != nullptr && fd < 0;
         address = address->ai_next) {
        fd = connectWithin(address, untilMs);
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

int32_t sendSome(Socket socket, const uint8_t* bytes, size_t count, int32_t waitMs) {
    const int fd = static_cast<int>(socket);
    const ssize_t put = ::send(fd, bytes, count, MSG_NOSIGNAL);
    if (put < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd room{fd, POLLOUT, 0};
        poll(&room, 1, waitMs);
        return 0;
    }
    return put > 0 ? static_cast<int32_t>(put) : -1;
}

int32_t receiveBytes(Socket socket, uint8_t* bytes, size_t count, int32_t waitUs) {
    const int fd = static_cast<int>(socket);
    quickAck(fd);
    pollfd watch{fd, POLLIN, 0};
    if (pollForUs(&watch, waitUs) <= 0) {
        return 0;
    }
    const ssize_t got = ::recv(fd, bytes, count, 0);
    return got > 0 ? static_cast<int32_t>(got) : got == 0 || errno != EAGAIN ? -1 : 0;
}

void closeSocket(Socket socket) {
    ::close(static_cast<int>(socket));
}

}  // namespace platform
}  // namespace qorv
