#include "channel/clock.h"

#include <chrono>
#include <thread>

namespace qorv {

namespace {
// Taken during static initialisation, so the clock counts from program start. A monotonic clock,
// so that a change of the system time neither stretches nor cuts a time limit.
const std::chrono::steady_clock::time_point programStart = std::chrono::steady_clock::now();
}  // namespace

int64_t clock::nowUs() {
    const auto elapsed = std::chrono::steady_clock::now() - programStart;
    return static_cast<int64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
}

int32_t clock::nowMs() {
    return static_cast<int32_t>(nowUs() / 1000);
}

void clock::sleepMs(int32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace qorv
