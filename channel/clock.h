// The one clock of the product. Every time limit and every wait takes its time from nowMs(): the
// exchanges' deadlines, a write that does not complete, a send to a server that does not read,
// connecting. The campaigns put a simulated clock in its place.
#pragma once

#include <cstdint>

namespace qorv {
namespace clock {

// Milliseconds since program start on a monotonic clock.
int32_t nowMs();
// The same clock in microseconds, for waits shorter than a millisecond.
int64_t nowUs();

// Sleeps `ms` milliseconds (where a wait has nothing to wait on, such as a line that hung up).
void sleepMs(int32_t ms);

// Milliseconds left until `untilMs`, 0 once it has passed; at most `cap`.
inline int32_t msLeft(int32_t untilMs, int32_t cap) {
    const int32_t left = untilMs - nowMs();
    return left <= 0 ? 0 : left < cap ? left : cap;
}

}  // namespace clock
}  // namespace qorv
