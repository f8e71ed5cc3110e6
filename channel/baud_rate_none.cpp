// Systems without an arbitrary-rate interface offer only the standard termios rates.
#include <cerrno>

#include "channel/baud_rate.h"

namespace qorv {
namespace platform {

int setCustomBaudRate(int, int32_t) {
    return EINVAL;
}

}  // namespace platform
}  // namespace qorv
