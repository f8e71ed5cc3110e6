// Console output of the run. Messages go to standard output and are flushed at once, so a step
// announced without a line end is visible while it runs.
#pragma once

#include <string>

#include "channel/device_channel.h"

namespace qorv {

// Writes UTF-8 text to standard output (or standard error) and flushes it. On a Windows
// console the text is shown as Unicode; elsewhere, and when redirected, the bytes go as they are.
void writeConsole(bool toError, const char* text, size_t length);

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void say(const char* format, ...);

// One line on standard error, after the program's name; the line end is added.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void tell(const char* format, ...);

// While `into` is given, the first `lines` lines told (without the program's name) are also
// kept in it, joined by "; ".
void keepFirstTold(std::string* into, int lines = 1);

// One line on standard error with the device or file and the system's reason for the failed open.
void explainOpenFailure(const DeviceChannel& channel);

}  // namespace qorv
