// The server's side of Telnet, as far as the tests' device servers need it: the client's
// commands taken out of what it sent, its escaped 0xFF made one again, and data escaped for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testing_support {

constexpr uint8_t TELNET_IAC = 255, TELNET_SB = 250, TELNET_SE = 240, TELNET_DO = 253,
                  TELNET_WILL = 251;

class TelnetIn {
  public:
    void take(const uint8_t* bytes, size_t count, std::vector<uint8_t>* data) {
        for (size_t i = 0; i < count; ++i) {
            const uint8_t byte = bytes[i];
            switch (state) {
                case State::Data:
                    if (byte == TELNET_IAC) {
                        state = State::Command;
                    } else {
                        data->push_back(byte);
                    }
                    break;
                case State::Command:
                    state = byte == TELNET_SB                           ? State::Sub
                            : byte >= TELNET_WILL && byte != TELNET_IAC ? State::Option
                                                                        : State::Data;
                    if (byte == TELNET_IAC) {
                        data->push_back(TELNET_IAC);
                    }
                    break;
                case State::Option:
                    state = State::Data;
                    break;
                case State::Sub:
                    state = byte == TELNET_IAC ? State::SubCommand : State::Sub;
                    break;
                case State::SubCommand:
                    state = byte == TELNET_SE ? State::Data : State::Sub;
                    break;
            }
        }
    }

  private:
    enum class State { Data, Command, Option, Sub, SubCommand };
    State state = State::Data;
};

inline void appendEscaped(const uint8_t* bytes, size_t count, std::vector<uint8_t>* out) {
    for (size_t i = 0; i < count; ++i) {
        out->push_back(bytes[i]);
        if (bytes[i] == TELNET_IAC) {
            out->push_back(TELNET_IAC);
        }
    }
}

}  // namespace testing_support
