// What a tty offers beyond POSIX termios on some systems: any baud rate, and a driver's
// low-latency mode.
#pragma once

#include <cstdint>

namespace qorv {
namespace platform {

// Sets an arbitrary rate on an open tty; returns 0, or the error when the system or the driver
// does not take it.
int setCustomBaudRate(int fd, int32_t baudRate);

// Asks the driver to pass on received bytes at once instead of holding them for a latency timer
// (USB serial adapters hold short answers for up to 16 ms). Returns false, changing nothing,
// when the driver does not offer it (a pseudo-terminal does not); otherwise `saved` gets what
// restoreLatency() puts back.
bool enableLowLatency(int fd, int* saved);
void restoreLatency(int fd, int saved);

// Whether some process holds a flock() on the device file; true when the system cannot tell.
bool deviceLockHeld(const char* deviceName);

}  // namespace platform
}  // namespace qorv
