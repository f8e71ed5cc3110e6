#include "app/messages.h"

#include <cstdarg>
#include <cstdio>

namespace qorv {

void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

void explainOpenFailure(const DeviceChannel& channel) {
    char reason[256];
    channel.describeOsError(reason, sizeof reason);
    std::fprintf(stderr, "%s: %s\n", channel.openedName(), reason);
}

}  // namespace qorv
