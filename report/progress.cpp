#include "report/progress.h"

#include <cstdio>

#include "channel/device_channel.h"
#include "report/messages.h"
#include "report/run_record.h"

namespace qorv {

namespace {

constexpr int PROGRESS_FORMAT = 1;

// A descriptor's number: digits only, and not a standard one.
bool descriptorNumber(const std::string& value, long* number) {
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *number = std::strtol(value.c_str(), nullptr, 10);
    return true;
}

}  // namespace

void ProgressFeed::start(const char* settingsPath, const char* portDevice) {
    std::string value;
    if (!environmentValue("QORV_PROGRESS", &value)) {
        return;
    }
    long number = 0;
    if (descriptorNumber(value, &number)) {
        std::string reason;
        if (!output_system::descriptorForLines(number, &descriptor, &reason)) {
            tell("cannot write progress to descriptor %s (%s); running without it", value.c_str(),
                 reason.c_str());
            return;
        }
        open = true;
        return;
    }
    std::string reason;
    file.reset(openOutputFile(value, OUTPUT_LINES_APPENDED, settingsPath, portDevice,
                              {nullptr, nullptr}, &reason));
    if (file == nullptr) {
        tell("cannot write progress to %s (%s); running without it", value.c_str(), reason.c_str());
        return;
    }
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    open = true;
}

void ProgressFeed::stepBegins(const char* step, int32_t block) {
    if (!open) {
        return;
    }
    char line[128];
    const int length =
        block > 0
            ? std::snprintf(line, sizeof line,
                            "{\"progress\":%d,\"ms\":%ld,\"step\":\"%s\",\"block\":%ld}\n",
                            PROGRESS_FORMAT, static_cast<long>(DeviceChannel::nowMs()), step,
                            static_cast<long>(block))
            : std::snprintf(line, sizeof line, "{\"progress\":%d,\"ms\":%ld,\"step\":\"%s\"}\n",
                            PROGRESS_FORMAT, static_cast<long>(DeviceChannel::nowMs()), step);
    if (length > 0 && static_cast<size_t>(length) < sizeof line) {
        put(line, static_cast<size_t>(length));
    }
}

void ProgressFeed::ended(int exitStatus, const std::string& step, int32_t block,
                         const std::string& cause, const std::string& reason) {
    if (!open) {
        return;
    }
    bool exact = true;
    std::string line = "{\"progress\":" + std::to_string(PROGRESS_FORMAT) +
                       ",\"ms\":" + std::to_string(DeviceChannel::nowMs()) +
                       ",\"end\":" + (exitStatus == 0 ? "\"stored\"" : "\"not_stored\"") +
                       ",\"exit_status\":" + std::to_string(exitStatus);
    if (exitStatus != 0) {
        line += ",\"step\":" + (step.empty() ? "null" : jsonString(step, &exact)) +
                ",\"block\":" + (block > 0 ? std::to_string(block) : "null") +
                ",\"cause\":" + (cause.empty() ? "null" : jsonString(cause, &exact)) +
                ",\"reason\":" + (reason.empty() ? "null" : jsonString(reason, &exact));
    }
    line += "}\n";
    put(line.data(), line.size());
}

void ProgressFeed::put(const char* line, size_t length) {
    // A reader that has gone ends the feed, never the run.
    const bool written = file != nullptr ? std::fwrite(line, 1, length, file.get()) == length
                                         : output_system::writeLine(descriptor, line, length);
    open = written;
}

}  // namespace qorv
