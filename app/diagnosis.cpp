#include "app/diagnosis.h"

#include <cstdio>

#include "app/messages.h"

namespace qorv {

namespace {

// The system's reason for a failed read or write, with its code where the codes are Windows'.
void ioReason(const DeviceChannel& port, char* out, size_t size) {
    char text[256];
    port.describeIoError(text, sizeof text);
#ifdef _WIN32
    std::snprintf(out, size, "error %d: %s", port.ioError(), text);
#else
    std::snprintf(out, size, "%s", text);
#endif
}

void hexBytes(const uint8_t* bytes, int32_t count, char* out, size_t size) {
    size_t at = 0;
    out[0] = '\0';
    for (int32_t i = 0; i < count && at + 4 < size; ++i) {
        at += static_cast<size_t>(
            std::snprintf(out + at, size - at, i == 0 ? "%02X" : " %02X", bytes[i]));
    }
}

}  // namespace

Step stepNamed(const char* name) {
    Step step{};
    std::snprintf(step.name, sizeof step.name, "%s", name);
    return step;
}

Step blockStep(int32_t block) {
    Step step{};
    std::snprintf(step.name, sizeof step.name, "block %d of 16", static_cast<int>(block + 1));
    return step;
}

void explainExchange(const DeviceChannel& port, const Step& step) {
    if (port.lastResult == RESULT_DEVICE_ERROR) {
        tell("%s refused by the device with error code 0x%02X", step.name, port.deviceError);
        return;
    }
    if (port.ioError() != 0) {
        char reason[300];
        ioReason(port, reason, sizeof reason);
        tell("%s: the line hung up or the device went away (%s)", step.name, reason);
        return;
    }
    if (port.otherMessages > 0) {
        tell(
            "%s: no acknowledgement within %d ms; %u other message%s came, none acknowledged the "
            "request",
            step.name, port.timeoutMs, port.otherMessages, port.otherMessages == 1 ? "" : "s");
        return;
    }
    tell("%s: no answer within %d ms", step.name, port.timeoutMs);
}

void explainBlockFailure(const DeviceChannel& port, int32_t block) {
    if (port.lastResult == RESULT_DEVICE_ERROR && port.refusalBeforeRequest) {
        // It came too late to answer the request in progress, so it refused an earlier one.
        tell(
            "a refusal with error code 0x%02X arrived after block %d of 16 was acknowledged: "
            "block %d or an earlier block was refused",
            port.deviceError, static_cast<int>(block), static_cast<int>(block));
        return;
    }
    explainExchange(port, block < 16 ? blockStep(block) : stepNamed("end of the sequence"));
}

void explainIdentity(const DeviceChannel& port, ResultCode result, const uint8_t* identity,
                     uint16_t length, const uint8_t* expected) {
    const Step step = stepNamed("identity request");
    if (result == RESULT_UNEXPECTED_REPLY) {
        tell("%s answered by message 0x%02X instead of the identity (0x01)", step.name,
             port.lastMessageId);
        return;
    }
    if (result != RESULT_OK) {
        explainExchange(port, step);
        return;
    }
    char wanted[16];
    hexBytes(expected, 4, wanted, sizeof wanted);
    if (length < 4) {
        tell("the identity reply holds %u byte%s, 4 needed (%s required)", length,
             length == 1 ? "" : "s", wanted);
        return;
    }
    char reported[16];
    hexBytes(identity, 4, reported, sizeof reported);
    tell("the device reported identity %s; this tool requires %s", reported, wanted);
}

void explainSettings(const DeviceChannel& file, const char* fileArgument, ResultCode result,
                     uint16_t dataLength, int32_t needed) {
    if (result == RESULT_OK) {
        tell("the settings data frame in %s holds %u bytes, %d needed", fileArgument, dataLength,
             static_cast<int>(needed));
        return;
    }
    tell(
        "no settings data frame (0x91) in %s: %lu bytes read, %u valid frame%s with other "
        "identifiers",
        fileArgument, static_cast<unsigned long>(file.bytesRead), file.otherMessages,
        file.otherMessages == 1 ? "" : "s");
}

void warnEndUnacknowledged(const DeviceChannel& port) {
    tell(
        "warning: the end of the sequence was not acknowledged within %d ms; the data was "
        "stored",
        port.timeoutMs);
}

void explainPortOpenFailure(const DeviceChannel& port, const char* portArgument, int32_t portNumber,
                            bool numbered, int32_t baudRate) {
    explainOpenFailure(port);
#ifdef _WIN32
    if (numbered && (portNumber < 1 || portNumber > 255)) {
        tell("the port must be a number from 1 to 255 (or COM1 to COM255), not \"%s\"",
             portArgument);
        return;
    }
#else
    (void)portArgument;
    (void)portNumber;
    (void)numbered;
#endif
    switch (port.openProblem()) {
        case DeviceChannel::OPEN_NOT_FOUND:
            tell("there is no such port");
            listPortsPresent();
            break;
        case DeviceChannel::OPEN_DENIED:
#ifdef __linux__
            tell(
                "permission denied: serial ports belong to the dialout group (uucp on some "
                "distributions); add yourself with: sudo usermod -aG dialout \"$USER\", then "
                "log out and in again");
#else
            tell("permission denied: this user may not open the port");
#endif
            break;
        case DeviceChannel::OPEN_BUSY:
            tell("another program holds the port; close it and try again");
            break;
        case DeviceChannel::OPEN_SETTINGS_REFUSED:
            tell("the port did not take the line settings (%d baud, 8 data bits, no parity)",
                 static_cast<int>(baudRate));
            break;
        case DeviceChannel::OPEN_OTHER:
            break;
    }
}

}  // namespace qorv
