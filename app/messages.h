// Console output of the run. Messages go to standard output and are flushed at once, so a step
// announced without a line end is visible while it runs.
#pragma once

#include "channel/device_channel.h"

namespace qorv {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void say(const char* format, ...);

// One line on standard error, after the program's name; the line end is added.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void tell(const char* format, ...);

// One line on standard error with the device or file and the system's reason for the failed open.
void explainOpenFailure(const DeviceChannel& channel);

}  // namespace qorv
