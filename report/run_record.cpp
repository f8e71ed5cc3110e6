#include "report/run_record.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "qorv_version.h"
#include "report/messages.h"
#include "report/output_file.h"
#include "report/sha256.h"

namespace qorv {

namespace {

constexpr int RECORD_FORMAT = 1;

// Length of the UTF-8 sequence starting at `text`, or 0 when it is not a valid one.
size_t utf8Sequence(const unsigned char* text, size_t left) {
    const unsigned char lead = text[0];
    const size_t length = lead < 0x80           ? 1
                          : (lead >> 5) == 0x6  ? 2
                          : (lead >> 4) == 0xE  ? 3
                          : (lead >> 3) == 0x1E ? 4
                                                : 0;
    if (length == 0 || length > left || (length == 2 && lead < 0xC2) || lead > 0xF4) {
        return 0;
    }
    // No overlong forms, no surrogates, nothing beyond U+10FFFF.
    const unsigned char second = length > 1 ? text[1] : 0x80;
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

// A JSON string of `text`. Bytes that are no UTF-8 (a POSIX file name may hold any) become
// U+FFFD here, and `exact` says whether that happened.

std::string hexOf(const uint8_t* bytes, size_t count) {
    std::string out;
    char pair[3];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        out += pair;
    }
    return out;
}

// "name": "text", and beside it "name_hex" with the bytes when the text is no UTF-8.
void addText(std::string& line, const char* name, const std::string& text) {
    bool exact = true;
    line += std::string(",\"") + name + "\":" + jsonString(text, &exact);
    if (!exact) {
        line += std::string(",\"") + name + "_hex\":\"" +
                hexOf(reinterpret_cast<const uint8_t*>(text.data()), text.size()) + "\"";
    }
}

void addOptionalText(std::string& line, const char* name, const std::string& text) {
    if (text.empty()) {
        line += std::string(",\"") + name + "\":null";
    } else {
        addText(line, name, text);
    }
}

void addNumber(std::string& line, const char* name, long long value, bool present = true) {
    line += std::string(",\"") + name + "\":" + (present ? std::to_string(value) : "null");
}

// The time now, as UTC in ISO 8601 ("2026-12-09T05:21:47Z").
std::string utcNow() {
    std::tm parts{};
    char text[32] = "";
    if (utcTime(std::time(nullptr), &parts)) {
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    }
    return text;
}

// U+0080 to U+009F: C1 controls (U+009B is CSI, as ESC [ is).
bool isC1Control(const unsigned char* sequence, size_t length) {
    return length == 2 && sequence[0] == 0xC2 && sequence[1] <= 0x9F;
}

}  // namespace

std::string visibleText(const std::string& text) {
    std::string out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8Sequence(bytes + i, text.size() - i);
        const unsigned char c = bytes[i];
        char escaped[8];
        if (length == 0 || c < 0x20 || c == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
            i += length == 0 ? 1 : length;
            continue;
        }
        if (isC1Control(bytes + i, length)) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", bytes[i + 1]);
            out += escaped;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

std::string jsonString(const std::string& text, bool* exact) {
    std::string out = "\"";
    *exact = true;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8Sequence(bytes + i, text.size() - i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            *exact = false;
            ++i;
            continue;
        }
        const unsigned char c = bytes[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F || isC1Control(bytes + i, length)) {
            // Valid JSON either way; escaped, a control character reaches no terminal that
            // shows the record.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", length == 1 ? c : bytes[i + 1]);
            out += escaped;
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out + "\"";
}

void RunRecord::start(const char* portArgument, const char* portDevice, int32_t baudRate,
                      const char* settingsArgument) {
    time = utcNow();
    port = portArgument;
    baud = baudRate;
    settingsFile = settingsArgument;
    // A run started by the station: the station run it belongs to, and on a fixture which
    // device's arrival at the port it stored.
    environmentValue("QORV_BATCH", &batch);
    std::string arrivalText;
    if (environmentValue("QORV_ARRIVAL", &arrivalText) && arrivalText.size() < 10 &&
        arrivalText.find_first_not_of("0123456789") == std::string::npos) {
        arrival = std::atol(arrivalText.c_str());
    }
    if (!environmentValue("QORV_REPORT", &path)) {
        return;
    }
    std::string reason;
    out.reset(openOutputFile(path, OUTPUT_LINES_APPENDED, settingsArgument, portDevice,
                             {nullptr, nullptr}, &reason));
    if (out == nullptr) {
        tell("cannot write the run record to %s (%s); running without one", path.c_str(),
             reason.c_str());
        return;
    }
    // Unbuffered, so that the whole line goes out in one write: lines of runs appending at once
    // never interleave.
    std::setvbuf(out.get(), nullptr, _IONBF, 0);
}

void RunRecord::portOpened(const DeviceChannel& channel) {
    device = channel.openedName();
    if (out == nullptr) {
        return;
    }
    // What the port is, as the system lists it (`\\.\COM3` is listed as COM3).
    for (const PortPresent& port : portsPresent().ports) {
        if (isListedPort(device, port)) {
            adapter = port;
            hasAdapter = true;
        }
    }
}

void RunRecord::settingsRead(const uint8_t* data, int32_t length) {
    settingsSha256 = sha256Hex(data, static_cast<size_t>(length));
}

void RunRecord::identityRead(const uint8_t* bytes, uint16_t length) {
    identity = hexOf(bytes, length);
}

void RunRecord::exchangeTimed(const char* name, int32_t blockNumber, int32_t milliseconds) {
    if (exchangeCount < exchanges.size()) {
        exchanges[exchangeCount++] = Exchange{name, blockNumber, milliseconds};
    }
}

void RunRecord::failed(const char* name, int32_t blockNumber, const char* why,
                       const DeviceChannel& channel) {
    step = name;
    block = blockNumber;
    cause = why;
    hasDeviceError = channel.lastResult == RESULT_DEVICE_ERROR && channel.seen.deviceErrorCoded;
    deviceError = channel.deviceError;
    osError = channel.osError() != 0 ? channel.osError() : channel.ioError();
    // A code the channel's back end made (a hang-up, a driver that stopped) is said by the cause.
    if (!DeviceChannel::isSystemError(osError)) {
        osError = 0;
    }
    LineErrors counted;
    hasLineErrors = channel.lineErrorsSinceRequest(&counted) &&
                    counted.framing + counted.overrun + counted.parity + counted.breaks > 0;
    lineErrors = counted;
}

void RunRecord::finish(int exitStatus) {
    if (out == nullptr) {
        return;
    }
    std::string line = "{\"record\":" + std::to_string(RECORD_FORMAT);
    addText(line, "time", time);
    addText(line, "tool", "QorvWriter");
    addText(line, "version", QORV_VERSION);
    addOptionalText(line, "batch", batch);
    addNumber(line, "arrival", arrival, arrival > 0);
    addText(line, "port", port);
    addOptionalText(line, "device", device);
    if (hasAdapter) {
        // Each member as a field, the first without its comma.
        std::string rest;
        addOptionalText(rest, "vid", adapter.vid);
        addOptionalText(rest, "pid", adapter.pid);
        addOptionalText(rest, "serial", adapter.serial);
        addOptionalText(rest, "location", adapter.location);
        addOptionalText(rest, "description", adapter.description);
        line += ",\"adapter\":{" + rest.substr(1) + "}";
    } else {
        line += ",\"adapter\":null";
    }
    addNumber(line, "baud", baud);
    addText(line, "settings_file", settingsFile);
    addOptionalText(line, "settings_sha256", settingsSha256);
    addOptionalText(line, "identity", identity);
    line += std::string(",\"stored\":") + (exitStatus == 0 ? "true" : "false");
    addNumber(line, "exit_status", exitStatus);
    addOptionalText(line, "step", step);
    addNumber(line, "block", block, block > 0);
    addOptionalText(line, "cause", cause);
    addNumber(line, "device_error", deviceError, hasDeviceError);
    addNumber(line, "os_error", osError, osError != 0);
    if (hasLineErrors) {
        line += ",\"line_errors\":{\"framing\":" + std::to_string(lineErrors.framing) +
                ",\"overrun\":" + std::to_string(lineErrors.overrun) +
                ",\"parity\":" + std::to_string(lineErrors.parity) +
                ",\"break\":" + std::to_string(lineErrors.breaks) + "}";
    } else {
        line += ",\"line_errors\":null";
    }
    addNumber(line, "duration_ms", DeviceChannel::nowMs());
    line += ",\"exchanges\":[";
    for (size_t i = 0; i < exchangeCount; ++i) {
        const Exchange& exchange = exchanges[i];
        line += std::string(i == 0 ? "" : ",") + "{\"step\":\"" + exchange.step + "\"";
        if (exchange.block > 0) {
            line += ",\"block\":" + std::to_string(exchange.block);
        }
        line += ",\"ms\":" + std::to_string(exchange.milliseconds) + "}";
    }
    line += "]}\n";
    int error = 0;
    if (!appendWholeLine(out.get(), line, &error)) {
        tell("the run record could not be written to %s (%s)", path.c_str(),
             errorText(error).c_str());
    }
}

}  // namespace qorv
