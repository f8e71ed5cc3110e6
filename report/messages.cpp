#include "report/messages.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "report/run_record.h"

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
    va_list measure;
    va_copy(measure, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, arguments);
    va_end(arguments);
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    // What the line holds from outside (a device's strings, names typed or found) cannot move
    // the cursor, retitle the window or clear the screen.
    const std::string line = "QorvWriter: " + visibleText(text) + "\n";
    writeConsole(true, line.data(), line.size());
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
