#include "report/messages.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace qorv {

namespace {

void sayTo(bool toError, const char* format, va_list arguments) {
    va_list measure;
    va_copy(measure, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) {
        return;
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, arguments);
    writeConsole(toError, text.data(), static_cast<size_t>(length));
}

}  // namespace

void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    sayTo(false, format, arguments);
    va_end(arguments);
}

void tell(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::string line = std::string("QorvWriter: ") + format + "\n";
    sayTo(true, line.c_str(), arguments);
    va_end(arguments);
}

void explainOpenFailure(const DeviceChannel& channel) {
    char reason[256];
    channel.describeOsError(reason, sizeof reason);
    if (channel.failedOpenCall() != nullptr) {
        tell("%s: %s failed: %s", channel.openedName(), channel.failedOpenCall(), reason);
        return;
    }
    tell("%s: %s", channel.openedName(), reason);
}

}  // namespace qorv
