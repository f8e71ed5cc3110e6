// Systems without an arbitrary-rate interface offer only the standard termios rates, and no
// low-latency switch.
#include <unistd.h>

#include <cerrno>

#include "channel/tty_extras.h"

namespace qorv {
namespace platform {

int setCustomBaudRate(int, int32_t) {
    return EINVAL;
}

int32_t rateSet(int) {
    return -1;
}

void nearRatesSet(int, int32_t, int32_t, int32_t* below, int32_t* above) {
    *below = 0;
    *above = 0;
}

bool enableLowLatency(int, int*) {
    return false;
}

void restoreLatency(int, int) {}

bool deviceLockHeld(const char*) {
    return true;
}

bool markedExclusive(int) {
    return false;
}

bool clockMakesRate(int, int32_t, int32_t*, int32_t*) {
    return true;
}

bool lineErrorCounts(int, uint32_t*, uint32_t*, uint32_t*, uint32_t*) {
    return false;
}

bool driverReportsLineErrors(const char*, char*, size_t) {
    return true;
}

bool findHolder(const char*, char*, size_t, int*) {
    return false;
}

void preciseWaits() {}

void closeTty(int fd) {
    ::close(fd);
}

}  // namespace platform
}  // namespace qorv
