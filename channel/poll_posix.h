// The two ways the POSIX back end waits on a descriptor: a short wait to the microsecond, and a
// wait until a deadline on the clock.
#pragma once

#include <poll.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "channel/clock.h"

namespace qorv {
namespace platform {

// poll() for `waitUs` microseconds, to the microsecond where the system offers it.
inline int pollForUs(pollfd* watch, int32_t waitUs) {
#ifdef __linux__
    const timespec wait{waitUs / 1000000, static_cast<long>(waitUs % 1000000) * 1000};
    return ppoll(watch, 1, &wait, nullptr);
#else
    return poll(watch, 1, (waitUs + 999) / 1000);
#endif
}

// poll() until `untilMs` on the clock. A signal that interrupts the wait neither shortens nor
// lengthens it, and poll()'s own rounding does not end it early.
inline int pollUntil(pollfd* watch, int32_t untilMs) {
    int ready;
    do {
        ready = poll(watch, 1, clock::msLeft(untilMs, 1000));
    } while ((ready < 0 && errno == EINTR) || (ready == 0 && clock::msLeft(untilMs, 1) > 0));
    return ready;
}

}  // namespace platform
}  // namespace qorv
