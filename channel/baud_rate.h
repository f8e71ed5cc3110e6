// Baud rates outside the standard termios table.
#pragma once

#include <cstdint>

namespace qorv {
namespace platform {

// Sets an arbitrary rate on an open tty; returns 0, or the error when the system or the driver
// does not take it.
int setCustomBaudRate(int fd, int32_t baudRate);

}  // namespace platform
}  // namespace qorv
