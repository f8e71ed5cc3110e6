#include "report/messages.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "report/run_record.h"

namespace qorv {

namespace {

std::string formatted(const char* format, va_list arguments) {
    va_list measure;
    va_copy(measure, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) {
        return "";
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, arguments);
    text.resize(static_cast<size_t>(length));
    return text;
}

std::string* firstTold = nullptr;
int toldLinesLeft = 0;

}  // namespace

void keepFirstTold(std::string* into, int lines) {
    firstTold = into;
    toldLinesLeft = lines;
}

void say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::string text = formatted(format, arguments);
    va_end(arguments);
    writeConsole(false, text.data(), text.size());
}

void tell(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const std::string text = formatted(format, arguments);
    va_end(arguments);
    // What the line holds from outside (a device's strings, names typed or found) cannot move
    // the cursor, retitle the window or clear the screen.
    const std::string visible = visibleText(text);
    if (firstTold != nullptr && toldLinesLeft > 0) {
        *firstTold += (firstTold->empty() ? "" : "; ") + visible;
        --toldLinesLeft;
    }
    const std::string line = "QorvWriter: " + visible + "\n";
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
