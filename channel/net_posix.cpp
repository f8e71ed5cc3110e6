#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "channel/net_port.h"

namespace qorv {
namespace platform {

namespace {

constexpr int CONNECT_LIMIT_MS = 3000;
constexpr int SETTINGS_WAIT_MS = 1000;

// Telnet (RFC 854) and its COM port control option (RFC 2217).
constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t BINARY = 0, SUPPRESS_GO_AHEAD = 3, COM_PORT = 44;
constexpr uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4,
                  SET_CONTROL = 5, PURGE_DATA = 12, SERVER_REPLY = 100;
constexpr uint8_t PARITY_NONE = 1, NO_FLOW_CONTROL = 1, PURGE_BOTH = 3;

// Where the filter of one connection stands in the stream, kept between reads.
enum class State : uint8_t { Data, Command, Option, Sub, SubCommand };
struct Connection {
    int fd = -1;
    bool telnet = false;
    State state = State::Data;
    uint8_t verb = 0;
    // A subnegotiation from the server, as far as it is kept.
    uint8_t sub[8] = {};
    int subLength = 0;
    // The stop bits the server set, once it has said (0 until then).
    uint8_t stopBits = 0;
};
Connection connections[4];

Connection* connectionOf(int fd) {
    for (Connection& connection : connections) {
        if (connection.fd == fd) {
            return &connection;
        }
    }
    return nullptr;
}

int64_t nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sendAll(int fd, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t put = ::send(fd, bytes, count, MSG_NOSIGNAL);
        if (put <= 0) {
            if (put < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd room{fd, POLLOUT, 0};
                poll(&room, 1, 100);
                continue;
            }
            return;
        }
        bytes += put;
        count -= static_cast<size_t>(put);
    }
}

void sendCommand(int fd, uint8_t command, const uint8_t* value, size_t length) {
    uint8_t bytes[24] = {IAC, SB, COM_PORT, command};
    size_t at = 4;
    for (size_t i = 0; i < length; ++i) {
        bytes[at++] = value[i];
        if (value[i] == IAC) {
            bytes[at++] = IAC;
        }
    }
    bytes[at++] = IAC;
    bytes[at++] = SE;
    sendAll(fd, bytes, at);
}

// The options this side takes part in: binary both ways (every byte passes unchanged), no go
// ahead, and the COM port option.
bool wanted(uint8_t option) {
    return option == BINARY || option == SUPPRESS_GO_AHEAD || option == COM_PORT;
}

int connectWithin(const addrinfo* address) {
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
    if (poll(&done, 1, CONNECT_LIMIT_MS) <= 0) {
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

}  // namespace

bool isNetworkName(const char* deviceName) {
    return std::strncmp(deviceName, "socket://", 9) == 0 ||
           std::strncmp(deviceName, "rfc2217://", 10) == 0;
}

int openNetworkPort(const char* deviceName, int32_t baudRate, int* fd) {
    const bool telnet = deviceName[0] == 'r';
    const char* hostAndPort = std::strstr(deviceName, "://") + 3;
    const char* colon = std::strrchr(hostAndPort, ':');
    Connection* connection = connectionOf(-1);
    if (colon == nullptr || colon == hostAndPort || colon[1] == '\0' || connection == nullptr) {
        return ERROR_BAD_ADDRESS;
    }
    char host[256] = {};
    const size_t hostLength = static_cast<size_t>(colon - hostAndPort);
    if (hostLength >= sizeof host) {
        return ERROR_BAD_ADDRESS;
    }
    // [::1]:2217: an IPv6 address in brackets.
    const bool bracketed = hostAndPort[0] == '[' && colon[-1] == ']';
    std::memcpy(host, hostAndPort + (bracketed ? 1 : 0), hostLength - (bracketed ? 2 : 0));
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, colon + 1, &hints, &found) != 0 || found == nullptr) {
        return ERROR_NAME_NOT_RESOLVED;
    }
    int socket = -ECONNREFUSED;
    for (const addrinfo* address = found; address != nullptr && socket < 0;
         address = address->ai_next) {
        socket = connectWithin(address);
    }
    freeaddrinfo(found);
    if (socket < 0) {
        return -socket;
    }
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    *connection = Connection{};
    connection->fd = socket;
    connection->telnet = telnet;
    if (telnet) {
        const uint8_t offers[] = {IAC, WILL, COM_PORT,         IAC, WILL, BINARY,
                                  IAC, DO,   BINARY,           IAC, WILL, SUPPRESS_GO_AHEAD,
                                  IAC, DO,   SUPPRESS_GO_AHEAD};
        sendAll(socket, offers, sizeof offers);
        const uint8_t rate[] = {
            static_cast<uint8_t>(baudRate >> 24), static_cast<uint8_t>(baudRate >> 16),
            static_cast<uint8_t>(baudRate >> 8), static_cast<uint8_t>(baudRate)};
        const uint8_t eight = 8, none = PARITY_NONE, two = 2, noFlow = NO_FLOW_CONTROL;
        sendCommand(socket, SET_BAUDRATE, rate, sizeof rate);
        sendCommand(socket, SET_DATASIZE, &eight, 1);
        sendCommand(socket, SET_PARITY, &none, 1);
        sendCommand(socket, SET_STOPSIZE, &two, 1);
        sendCommand(socket, SET_CONTROL, &noFlow, 1);
        // The server says which stop bits it set; one where it would not take two.
        uint8_t discard[256];
        const int64_t until = nowMs() + SETTINGS_WAIT_MS;
        while (connection->stopBits == 0 && nowMs() < until) {
            pollfd watch{socket, POLLIN, 0};
            if (poll(&watch, 1, 20) > 0) {
                const ssize_t got = ::recv(socket, discard, sizeof discard, 0);
                if (got <= 0) {
                    break;
                }
                takeTelnet(socket, discard, static_cast<int32_t>(got));
            }
        }
        if (connection->stopBits != 0 && connection->stopBits != 2) {
            const uint8_t one = 1;
            sendCommand(socket, SET_STOPSIZE, &one, 1);
        }
        purgeServer(socket);
    }
    *fd = socket;
    return 0;
}

bool speaksTelnet(int fd) {
    const Connection* connection = connectionOf(fd);
    return connection != nullptr && connection->telnet;
}

int32_t takeTelnet(int fd, uint8_t* bytes, int32_t count) {
    Connection* connection = connectionOf(fd);
    if (connection == nullptr || !connection->telnet) {
        return count;
    }
    int32_t kept = 0;
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t byte = bytes[i];
        switch (connection->state) {
            case State::Data:
                if (byte == IAC) {
                    connection->state = State::Command;
                } else {
                    bytes[kept++] = byte;
                }
                break;
            case State::Command:
                connection->state = State::Data;
                if (byte == IAC) {
                    bytes[kept++] = IAC;  // an escaped 0xFF of the data
                } else if (byte == SB) {
                    connection->state = State::Sub;
                    connection->subLength = 0;
                } else if (byte >= WILL) {
                    connection->verb = byte;
                    connection->state = State::Option;
                }
                break;
            case State::Option: {
                connection->state = State::Data;
                // Agree to what this side takes part in, refuse the rest; an answer the server
                // gives to this side's own offer needs none.
                const bool asked = connection->verb == DO || connection->verb == WILL;
                if (asked && !wanted(byte)) {
                    const uint8_t refusal[] = {IAC, connection->verb == DO ? WONT : DONT, byte};
                    sendAll(fd, refusal, sizeof refusal);
                }
                break;
            }
            case State::Sub:
                if (byte == IAC) {
                    connection->state = State::SubCommand;
                } else if (connection->subLength < static_cast<int>(sizeof connection->sub)) {
                    connection->sub[connection->subLength++] = byte;
                }
                break;
            case State::SubCommand:
                if (byte == SE) {
                    connection->state = State::Data;
                    if (connection->subLength >= 3 && connection->sub[0] == COM_PORT &&
                        connection->sub[1] == SERVER_REPLY + SET_STOPSIZE) {
                        connection->stopBits = connection->sub[2];
                    }
                } else {
                    connection->state = State::Sub;
                    if (connection->subLength < static_cast<int>(sizeof connection->sub)) {
                        connection->sub[connection->subLength++] = byte;
                    }
                }
                break;
        }
    }
    return kept;
}

int32_t escapeTelnet(const uint8_t* bytes, int32_t count, uint8_t* out) {
    int32_t length = 0;
    for (int32_t i = 0; i < count; ++i) {
        out[length++] = bytes[i];
        if (bytes[i] == IAC) {
            out[length++] = IAC;
        }
    }
    return length;
}

void purgeServer(int fd) {
    if (speaksTelnet(fd)) {
        const uint8_t both = PURGE_BOTH;
        sendCommand(fd, PURGE_DATA, &both, 1);
    }
}

void forgetNetworkPort(int fd) {
    Connection* connection = connectionOf(fd);
    if (connection != nullptr) {
        *connection = Connection{};
    }
}

}  // namespace platform
}  // namespace qorv
