// What the POSIX back end's codes mean, apart from its calls, so that the in-memory back end of
// the tests and fuzzers means the same.
#include "channel/platform.h"

namespace qorv {
namespace platform {

// This back end's own codes are negative; errno values are positive.
bool isSystemError(int code) {
    return code > 0;
}

// A write that stalls is given up by poll(); a tty read never waits on the driver.
bool isDriverStopped(int) {
    return false;
}

// The open's calls all go by the name of the open.
const char* openCallName(OpenCall) {
    return nullptr;
}

}  // namespace platform
}  // namespace qorv
