// What the operating-system side of the channel hands up: its handle, and what kind of problem a
// failed open was.
#pragma once

#include <cstdint>

namespace qorv {

// Operating-system handle: a file descriptor on POSIX, a HANDLE on Win32.
using OsHandle = intptr_t;

// Errors the port's driver counted on the line: bytes whose stop bit was wrong (framing), bytes
// lost because they came faster than they were taken (overrun), bytes whose parity bit was
// wrong, and breaks.
struct LineErrors {
    uint32_t framing = 0;
    uint32_t overrun = 0;
    uint32_t parity = 0;
    uint32_t breaks = 0;
};

// The call of a port's open that failed: opening the device, giving it its line settings or its
// time limits, or a request to its driver that did not end.
enum OpenCall { CALL_OPEN, CALL_LINE_SETTINGS, CALL_TIMEOUTS, CALL_DRIVER_STUCK };

// What kind of problem a failed open is, for a hint to the user.
// OPEN_MARKED_EXCLUSIVE: the port is marked for exclusive use, but nobody holds its lock.
// OPEN_BUSY_OR_RECENT: refused as in use: another program holds it, or one closed it (or the
// adapter was unplugged) a moment ago and the system has not let it go yet.
enum OpenProblem {
    OPEN_OTHER,
    OPEN_NOT_FOUND,
    OPEN_DENIED,
    OPEN_BUSY,
    OPEN_BUSY_OR_RECENT,
    OPEN_SETTINGS_REFUSED,
    OPEN_MARKED_EXCLUSIVE,
    OPEN_TIMEOUTS_REFUSED,
    OPEN_SERVER_UNREACHABLE,  // a device server that does not resolve, answer or accept
    OPEN_DRIVER_FAILED,
    OPEN_DRIVER_STUCK  // a request of the open did not end: the driver is stuck
};

}  // namespace qorv
