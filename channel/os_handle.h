// What the operating-system side of the channel hands up: its handle, and what kind of problem a
// failed open was.
#pragma once

#include <cstdint>

namespace qorv {

// Operating-system handle: a file descriptor on POSIX, a HANDLE on Win32.
using OsHandle = intptr_t;

// What kind of problem an open's error code is, for a hint to the user.
// OPEN_MARKED_EXCLUSIVE: the port is marked for exclusive use, but nobody holds its lock.
enum OpenProblem {
    OPEN_OTHER,
    OPEN_NOT_FOUND,
    OPEN_DENIED,
    OPEN_BUSY,
    OPEN_SETTINGS_REFUSED,
    OPEN_MARKED_EXCLUSIVE,
    OPEN_TIMEOUTS_REFUSED,
    OPEN_DRIVER_FAILED
};

}  // namespace qorv
