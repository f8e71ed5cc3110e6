#include <cstring>

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
    Socket fd = -1;
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

Connection* connectionOf(Socket fd) {
    for (Connection& connection : connections) {
        if (connection.fd == fd) {
            return &connection;
        }
    }
    return nullptr;
}

void sendCommand(Socket fd, uint8_t command, const uint8_t* value, size_t length) {
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
    sendBytes(fd, bytes, at);
}

// The options this side takes part in: binary both ways (every byte passes unchanged), no go
// ahead, and the COM port option.
bool wanted(uint8_t option) {
    return option == BINARY || option == SUPPRESS_GO_AHEAD || option == COM_PORT;
}

}  // namespace

void sendBytes(Socket socket, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const int32_t put = sendSome(socket, bytes, count, 100);
        if (put < 0) {
            return;
        }
        bytes += put;
        count -= static_cast<size_t>(put);
    }
}

int openNetworkPort(const char* deviceName, int32_t baudRate, Socket* socketOut) {
    const bool telnet = deviceName[0] == 'r';
    const char* hostAndPort = std::strstr(deviceName, "://") + 3;
    const char* colon = std::strrchr(hostAndPort, ':');
    Connection* connection = connectionOf(-1);
    if (colon == nullptr || colon == hostAndPort || colon[1] == '\0' || connection == nullptr) {
        return ERROR_BAD_ADDRESS;
    }
    char host[256] = {};
    const size_t hostLength = static_cast<size_t>(colon - hostAndPort);
    // [::1]:2217: an IPv6 address in brackets.
    const bool bracketed = hostAndPort[0] == '[' && colon[-1] == ']';
    if (hostLength >= sizeof host || (bracketed && hostLength < 3)) {
        return ERROR_BAD_ADDRESS;
    }
    std::memcpy(host, hostAndPort + (bracketed ? 1 : 0), hostLength - (bracketed ? 2 : 0));
    Socket socket = -1;
    const int error = connectTo(host, colon + 1, CONNECT_LIMIT_MS, &socket);
    if (error != 0) {
        return error;
    }
    *connection = Connection{};
    connection->fd = socket;
    connection->telnet = telnet;
    if (telnet) {
        const uint8_t offers[] = {IAC, WILL, COM_PORT,         IAC, WILL, BINARY,
                                  IAC, DO,   BINARY,           IAC, WILL, SUPPRESS_GO_AHEAD,
                                  IAC, DO,   SUPPRESS_GO_AHEAD};
        sendBytes(socket, offers, sizeof offers);
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
        const int64_t until = monotonicNowMs() + SETTINGS_WAIT_MS;
        while (connection->stopBits == 0 && monotonicNowMs() < until) {
            const int32_t got = receiveBytes(socket, discard, sizeof discard, 20);
            if (got < 0) {
                break;
            }
            takeTelnet(socket, discard, got);
        }
        if (connection->stopBits != 0 && connection->stopBits != 2) {
            const uint8_t one = 1;
            sendCommand(socket, SET_STOPSIZE, &one, 1);
        }
        purgeServer(socket);
    }
    *socketOut = socket;
    return 0;
}

bool isNetworkPort(Socket socket) {
    return socket >= 0 && connectionOf(socket) != nullptr;
}

bool speaksTelnet(Socket fd) {
    const Connection* connection = connectionOf(fd);
    return connection != nullptr && connection->telnet;
}

int32_t takeTelnet(Socket fd, uint8_t* bytes, int32_t count) {
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
                    sendBytes(fd, refusal, sizeof refusal);
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

int32_t writeNetwork(Socket socket, const uint8_t* bytes, int32_t count, WriteBytes write,
                     int* ioError) {
    if (!speaksTelnet(socket)) {
        return write(socket, bytes, count, ioError);
    }
    // In parts, each escaped into room for twice its bytes.
    int32_t written = 0;
    while (written < count && *ioError == 0) {
        uint8_t escaped[512];
        const int32_t part = count - written < 256 ? count - written : 256;
        const int32_t length = escapeTelnet(bytes + written, part, escaped);
        if (write(socket, escaped, length, ioError) < length) {
            break;
        }
        written += part;
    }
    return written;
}

void purgeServer(Socket fd) {
    if (speaksTelnet(fd)) {
        const uint8_t both = PURGE_BOTH;
        sendCommand(fd, PURGE_DATA, &both, 1);
    }
}

void closeNetworkPort(Socket fd) {
    Connection* connection = connectionOf(fd);
    if (connection != nullptr) {
        *connection = Connection{};
        closeSocket(fd);
    }
}

}  // namespace platform
}  // namespace qorv
