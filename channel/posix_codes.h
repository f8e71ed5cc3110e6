// The POSIX back end's own error codes, beside errno values (which are positive).
#pragma once

namespace qorv {
namespace platform {

// A settings path that exists but is no regular file.
constexpr int ERROR_NOT_A_FILE = -1;
// A line that hung up (the other end closed, the adapter went away, the server ended).
constexpr int ERROR_HUNG_UP = -2;
// A port marked for exclusive use that no process holds the lock of.
constexpr int ERROR_MARKED_EXCLUSIVE = -3;
// A port that is the terminal this program runs in.
constexpr int ERROR_OWN_TERMINAL = -4;
// A rate the port's clock cannot make within 3%.
constexpr int ERROR_RATE_NOT_MADE = -5;

}  // namespace platform
}  // namespace qorv
