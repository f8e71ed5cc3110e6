#include <chrono>

#include "channel/device_channel.h"

namespace qorv {

namespace {
// Taken during static initialisation, so the clock counts from program start. A monotonic clock,
// so that a change of the system time neither stretches nor cuts a time limit.
const std::chrono::steady_clock::time_point programStart = std::chrono::steady_clock::now();
}  // namespace

int32_t DeviceChannel::nowMs() {
    const auto elapsed = std::chrono::steady_clock::now() - programStart;
    return static_cast<int32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

}  // namespace qorv
