#include "channel/server_line.h"

#include <new>

#include "channel/clock.h"
#include "channel/net.h"

namespace qorv {

namespace {

using platform::Socket;

// The server says which stop bits it set within this time, or it is taken not to.
constexpr int32_t SETTINGS_WAIT_MS = 1000;
// A send waits for room in slices of this, so that a deadline is met to the millisecond.
constexpr int32_t SEND_SLICE_MS = 100;

// Telnet (RFC 854) and its COM port control option (RFC 2217).
constexpr uint8_t IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr uint8_t BINARY = 0, SUPPRESS_GO_AHEAD = 3, COM_PORT = 44;
constexpr uint8_t SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4,
                  SET_CONTROL = 5, PURGE_DATA = 12, SERVER_REPLY = 100;
constexpr uint8_t PARITY_NONE = 1, NO_FLOW_CONTROL = 1, PURGE_BOTH = 3;

// The options this side takes part in: binary both ways (every byte passes unchanged), no go
// ahead, and the COM port option.
bool wanted(uint8_t option) {
    return option == BINARY || option == SUPPRESS_GO_AHEAD || option == COM_PORT;
}

// Doubles every 0xFF of `count` bytes into `out` (room for twice as many); returns its length.
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

class ServerLine final : public Line {
  public:
    ServerLine(Socket socket, bool telnet) : socket(socket), telnet(telnet) {}
    ~ServerLine() override { platform::closeSocket(socket); }

    int32_t read(uint8_t* buffer, int32_t count, int32_t waitUs) override {
        const int32_t got =
            platform::receiveBytes(socket, buffer, static_cast<size_t>(count), waitUs);
        if (got < 0) {
            // The server closed the connection: a hang-up. It shows at once, so the wait is
            // slept, lest the caller's wait loop spin until its time limit.
            keepFirst(platform::connectionEndedError());
            clock::sleepMs((waitUs + 999) / 1000);
            return 0;
        }
        return telnet ? takeTelnet(buffer, got) : got;
    }

    int32_t write(const uint8_t* bytes, int32_t count, int32_t untilMs) override {
        if (!telnet) {
            return send(bytes, count, untilMs);
        }
        // In parts, each escaped into room for twice its bytes.
        int32_t written = 0;
        while (written < count) {
            uint8_t escaped[512];
            const int32_t part = count - written < 256 ? count - written : 256;
            const int32_t length = escapeTelnet(bytes + written, part, escaped);
            if (send(escaped, length, untilMs) < length) {
                break;
            }
            written += part;
        }
        return written;
    }

    void purge(int32_t untilMs) override {
        if (telnet) {
            const uint8_t both = PURGE_BOTH;
            command(PURGE_DATA, &both, 1, untilMs);
        }
    }

    bool isServer() const override { return true; }

    int32_t stopBits() const override { return serverStopBits == 0 || serverStopBits == 2 ? 2 : 1; }

    // Sets the line and purges the server's buffers; false when the server does not take them
    // in time. (A server that closes the connection is said as a hang-up at the first exchange.)
    bool setLine(int32_t baudRate, int32_t untilMs) {
        const uint8_t offers[] = {IAC, WILL, COM_PORT,         IAC, WILL, BINARY,
                                  IAC, DO,   BINARY,           IAC, WILL, SUPPRESS_GO_AHEAD,
                                  IAC, DO,   SUPPRESS_GO_AHEAD};
        const uint8_t rate[] = {
            static_cast<uint8_t>(baudRate >> 24), static_cast<uint8_t>(baudRate >> 16),
            static_cast<uint8_t>(baudRate >> 8), static_cast<uint8_t>(baudRate)};
        const uint8_t eight = 8, none = PARITY_NONE, two = 2, noFlow = NO_FLOW_CONTROL;
        const bool sent =
            send(offers, sizeof offers, untilMs) == sizeof offers &&
            command(SET_BAUDRATE, rate, sizeof rate, untilMs) &&
            command(SET_DATASIZE, &eight, 1, untilMs) && command(SET_PARITY, &none, 1, untilMs) &&
            command(SET_STOPSIZE, &two, 1, untilMs) && command(SET_CONTROL, &noFlow, 1, untilMs);
        if (!sent) {
            return ioError() != platform::sendStalledError();
        }
        // The server says which stop bits it set; one where it would not take two.
        uint8_t discard[256];
        while (serverStopBits == 0 && ioError() == 0 && clock::nowMs() < untilMs) {
            read(discard, sizeof discard, clock::msLeft(untilMs, 20) * 1000);
        }
        if (serverStopBits != 0 && serverStopBits != 2) {
            const uint8_t one = 1;
            command(SET_STOPSIZE, &one, 1, untilMs);
        }
        purge(untilMs);
        return ioError() != platform::sendStalledError();
    }

  private:
    // Sends all of `bytes` unless the connection fails or does not take them by `untilMs`;
    // returns the count sent.
    int32_t send(const uint8_t* bytes, int32_t count, int32_t untilMs) {
        int32_t sent = 0;
        while (sent < count) {
            const int32_t put =
                platform::sendSome(socket, bytes + sent, static_cast<size_t>(count - sent),
                                   clock::msLeft(untilMs, SEND_SLICE_MS));
            if (put < 0) {
                keepFirst(platform::connectionEndedError());
                break;
            }
            sent += put;
            if (put == 0 && clock::nowMs() >= untilMs) {
                // A server that does not read: the send is given up, as a write that stalls.
                keepFirst(platform::sendStalledError());
                break;
            }
        }
        return sent;
    }

    bool command(uint8_t code, const uint8_t* value, int32_t length, int32_t untilMs) {
        uint8_t bytes[24] = {IAC, SB, COM_PORT, code};
        int32_t at = 4;
        for (int32_t i = 0; i < length; ++i) {
            bytes[at++] = value[i];
            if (value[i] == IAC) {
                bytes[at++] = IAC;
            }
        }
        bytes[at++] = IAC;
        bytes[at++] = SE;
        return send(bytes, at, untilMs) == at;
    }

    // Agrees to what this side takes part in and refuses the rest, each option once: a server
    // that asks again and again (or never reads) gets no stream of refusals, and a refusal is
    // never waited for. An answer to this side's own offer needs none.
    void answerOption(uint8_t verb, uint8_t option) {
        if ((verb != DO && verb != WILL) || wanted(option)) {
            return;
        }
        uint8_t& refusedSet = refused[verb == DO ? 0 : 1][option / 8];
        const uint8_t bit = static_cast<uint8_t>(1u << (option % 8));
        if ((refusedSet & bit) != 0) {
            return;
        }
        refusedSet = static_cast<uint8_t>(refusedSet | bit);
        const uint8_t refusal[] = {IAC, verb == DO ? WONT : DONT, option};
        platform::sendSome(socket, refusal, sizeof refusal, 0);
    }

    // Takes the Telnet commands out of `count` received bytes, in place; returns the data left.
    int32_t takeTelnet(uint8_t* bytes, int32_t count) {
        int32_t kept = 0;
        for (int32_t i = 0; i < count; ++i) {
            const uint8_t byte = bytes[i];
            switch (state) {
                case State::Data:
                    if (byte == IAC) {
                        state = State::Command;
                    } else {
                        bytes[kept++] = byte;
                    }
                    break;
                case State::Command:
                    state = State::Data;
                    if (byte == IAC) {
                        bytes[kept++] = IAC;  // an escaped 0xFF of the data
                    } else if (byte == SB) {
                        state = State::Sub;
                        subLength = 0;
                    } else if (byte >= WILL) {
                        verb = byte;
                        state = State::Option;
                    }
                    break;
                case State::Option:
                    state = State::Data;
                    answerOption(verb, byte);
                    break;
                case State::Sub:
                    if (byte == IAC) {
                        state = State::SubCommand;
                    } else {
                        keepSub(byte);
                    }
                    break;
                case State::SubCommand:
                    if (byte == SE) {
                        state = State::Data;
                        if (subLength >= 3 && sub[0] == COM_PORT &&
                            sub[1] == SERVER_REPLY + SET_STOPSIZE) {
                            serverStopBits = sub[2];
                        }
                    } else {
                        // IAC IAC inside a subnegotiation is one 0xFF of its value.
                        state = State::Sub;
                        keepSub(byte);
                    }
                    break;
            }
        }
        return kept;
    }

    void keepSub(uint8_t byte) {
        if (subLength < static_cast<int32_t>(sizeof sub)) {
            sub[subLength++] = byte;
        }
    }

    // Where the filter stands in the stream, kept between reads.
    enum class State : uint8_t { Data, Command, Option, Sub, SubCommand };

    Socket socket;
    bool telnet;
    State state = State::Data;
    uint8_t verb = 0;
    // A subnegotiation from the server, as far as it is kept.
    uint8_t sub[8] = {};
    int32_t subLength = 0;
    // The stop bits the server set, once it has said (0 until then).
    uint8_t serverStopBits = 0;
    // Options refused, asked with DO and with WILL.
    uint8_t refused[2][32] = {};
};

static_assert(sizeof(ServerLine) <= LineSlot::SIZE, "a device server's line fits its room");

}  // namespace

int openServerLine(const PortSpec& port, int32_t baudRate, int32_t untilMs, LineSlot* slot,
                   Line** line) {
    if (port.tcpPort == 0) {
        return platform::ERROR_BAD_ADDRESS;
    }
    Socket socket = -1;
    const int error = platform::connectTo(port.host, port.tcpPort, untilMs, &socket);
    if (error != 0) {
        return error;
    }
    ServerLine* server = new (slot->bytes) ServerLine(socket, port.telnet);
    if (port.telnet && !server->setLine(baudRate, clock::nowMs() + SETTINGS_WAIT_MS)) {
        server->~ServerLine();
        return platform::ERROR_SERVER_NOT_READING;
    }
    *line = server;
    return 0;
}

const char* serverErrorText(int code) {
    switch (code) {
        case platform::ERROR_NAME_NOT_RESOLVED:
            return "the name does not resolve";
        case platform::ERROR_NAME_TOO_SLOW:
            return "the name was not resolved in time (no answer from the name server)";
        case platform::ERROR_BAD_ADDRESS:
            return "not a device server's address (HOST:PORT, the port 1 to 65535)";
        case platform::ERROR_SERVER_NOT_READING:
            return "the server did not take the line settings (it does not read)";
        default:
            return nullptr;
    }
}

}  // namespace qorv
