// What a tty offers beyond POSIX termios on some systems: any baud rate, and a driver's
// low-latency mode.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qorv {
namespace platform {

// Sets an arbitrary rate on an open tty; returns 0, or the error when the system or the driver
// does not take it.
int setCustomBaudRate(int fd, int32_t baudRate);
// The rate the driver says it set: some round the rate asked to one their chip makes and say so
// (cp210x, pl2303). -1 when the system cannot tell.
int32_t rateSet(int fd);
// For a rate the driver set as `made`, more than 3% from `asked`: the nearest rates it sets below
// and above `asked` (0 where there is none), found by asking it for others. The tty's settings are
// left changed.
void nearRatesSet(int fd, int32_t asked, int32_t made, int32_t* below, int32_t* above);
// The search nearRatesSet() makes, over any rising function from rate asked to rate set.
using RateSetter = int32_t (*)(void* context, int32_t asked);
void searchNearRates(RateSetter setRate, void* context, int32_t asked, int32_t made, int32_t* below,
                     int32_t* above);
// Whether `made` is within 3% of `asked`.
bool rateClose(int32_t asked, int32_t made);

// Asks the driver to pass on received bytes at once instead of holding them for a latency timer
// (USB serial adapters hold short answers for up to 16 ms). Returns false, changing nothing,
// when the driver does not offer it (a pseudo-terminal does not); otherwise `saved` gets what
// restoreLatency() puts back.
bool enableLowLatency(int fd, int* saved);
void restoreLatency(int fd, int saved);

// Asks the system to end this process's short waits on time rather than up to 50 us late (the
// timer slack Linux gives by default): the wait of one byte's time before each request is about
// 100 us at 115200 baud.
void preciseWaits();

// Closes a tty without waiting for its driver to send what it still holds (its queues were
// discarded before): a close otherwise waits up to 30 s, the closing wait, on a USB adapter whose
// chip stopped taking data.
void closeTty(int fd);
// Whether some process holds a flock() on the device file; true when the system cannot tell.
bool deviceLockHeld(const char* deviceName);
// Whether the tty is marked exclusive (TIOCEXCL) already; false when the system cannot tell.
bool markedExclusive(int fd);
// Whether the driver's clock can make `baudRate` within 3%; when it cannot, the rates it makes
// just below and above it. True when the driver does not tell its clock.
bool clockMakesRate(int fd, int32_t baudRate, int32_t* below, int32_t* above);
// Whether the tty's driver reports line errors; false, with its name, for a driver known not to
// (ch341: the chip does not tell them; pl2303: it marks the bytes but counts nothing).
bool driverReportsLineErrors(const char* deviceName, char* driver, size_t size);
// The driver's counts of line errors (TIOCGICOUNT); false when it keeps none.
bool lineErrorCounts(int fd, uint32_t* framing, uint32_t* overrun, uint32_t* parity,
                     uint32_t* breaks);
// A process other than this one that has the device open: its name and pid (either may be null).
// False when there is none, or the system cannot tell.
bool findHolder(const char* deviceName, char* name, size_t size, int* pid);

}  // namespace platform
}  // namespace qorv
