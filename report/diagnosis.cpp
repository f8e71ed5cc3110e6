#include "report/diagnosis.h"

#include <cstdio>

#include "channel/ports.h"
#include "report/messages.h"

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

// "with error code 0x04", or "without an error code" for a refusal that carried no data.
void refusalCode(const DeviceChannel& port, char* out, size_t size) {
    if (port.deviceErrorCoded) {
        std::snprintf(out, size, "with error code 0x%02X", port.deviceError);
    } else {
        std::snprintf(out, size, "without an error code");
    }
}

// The hang-up, with the system's reason where the system gave one, then `tail`.
void tellHangUp(const DeviceChannel& port, const char* what, const char* tail) {
    if (port.ioErrorIsHangUp()) {
        tell("%s: the line hung up or the device went away%s", what, tail);
        return;
    }
    char reason[300];
    ioReason(port, reason, sizeof reason);
    tell("%s: the line hung up or the device went away (%s)%s", what, reason, tail);
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

ExchangeCause causeOf(const DeviceChannel& port) {
    if (port.lastResult == RESULT_DEVICE_ERROR) {
        return port.refusalBeforeRequest ? ExchangeCause::LateRefusal : ExchangeCause::Refused;
    }
    if (port.lastResult == RESULT_UNEXPECTED_REPLY) {
        return ExchangeCause::UnexpectedReply;
    }
    if (port.ioError() != 0) {
        return port.ioErrorIsWriteStall() ? ExchangeCause::WriteStalled : ExchangeCause::HungUp;
    }
    if (port.otherMessages > 0) {
        return ExchangeCause::OtherMessages;
    }
    return port.bytesSinceRequest() > 0 ? ExchangeCause::NoValidFrame : ExchangeCause::NoAnswer;
}

const char* causeKeyword(ExchangeCause cause) {
    switch (cause) {
        case ExchangeCause::Refused:
            return "refused";
        case ExchangeCause::LateRefusal:
            return "late_refusal";
        case ExchangeCause::UnexpectedReply:
            return "unexpected_reply";
        case ExchangeCause::WriteStalled:
            return "write_stalled";
        case ExchangeCause::HungUp:
            return "hung_up";
        case ExchangeCause::OtherMessages:
            return "other_messages";
        case ExchangeCause::NoValidFrame:
            return "no_valid_frame";
        case ExchangeCause::NoAnswer:
            break;
    }
    return "no_answer";
}

bool settingsFrameCutOff(const DeviceChannel& file) {
    return file.cutFrame.present && file.cutFrame.id == MID_QORV_DATA;
}

void explainExchange(const DeviceChannel& port, const Step& step) {
    char code[32];
    switch (causeOf(port)) {
        case ExchangeCause::Refused:
        case ExchangeCause::LateRefusal:
            refusalCode(port, code, sizeof code);
            tell("%s refused by the device %s", step.name, code);
            return;
        case ExchangeCause::UnexpectedReply:
            tell("%s answered by message 0x%02X", step.name, port.lastMessageId);
            return;
        case ExchangeCause::WriteStalled:
            tell(
                "%s: the device or the adapter stopped taking data (a write did not complete "
                "within its time limit)",
                step.name);
            return;
        case ExchangeCause::HungUp:
            tellHangUp(port, step.name, "");
            return;
        case ExchangeCause::OtherMessages:
            tell(
                "%s: no acknowledgement within %d ms; %u other message%s came, none acknowledged "
                "the request",
                step.name, port.timeoutMs, port.otherMessages, port.otherMessages == 1 ? "" : "s");
            return;
        case ExchangeCause::NoValidFrame: {
            const uint32_t bytes = port.bytesSinceRequest();
            const uint32_t early = port.earlyFrameBytesSinceRequest;
            if (early == 0) {
                tell(
                    "%s: no answer within %d ms; %lu byte%s came, none of them part of a valid "
                    "frame",
                    step.name, port.timeoutMs, static_cast<unsigned long>(bytes),
                    bytes == 1 ? "" : "s");
                return;
            }
            // The end of a frame that began before the request: a late or doubled answer.
            tell(
                "%s: no answer within %d ms; %lu byte%s came: %lu completed a frame that began "
                "before the request (a late answer to an earlier one), %lu formed no valid frame",
                step.name, port.timeoutMs, static_cast<unsigned long>(bytes), bytes == 1 ? "" : "s",
                static_cast<unsigned long>(early), static_cast<unsigned long>(bytes - early));
            return;
        }
        case ExchangeCause::NoAnswer:
            tell("%s: no answer within %d ms", step.name, port.timeoutMs);
            return;
    }
}

void explainBlockFailure(const DeviceChannel& port, int32_t block) {
    if (causeOf(port) == ExchangeCause::LateRefusal) {
        // It came too late to answer the request in progress, so it refused an earlier one.
        char code[32];
        refusalCode(port, code, sizeof code);
        tell(
            "a refusal %s arrived after block %d of 16 was acknowledged: block %d or an earlier "
            "block was refused",
            code, static_cast<int>(block), static_cast<int>(block));
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
    const DeviceChannel::CutFrame& cut = file.cutFrame;
    if (result == RESULT_END_OF_FILE && settingsFrameCutOff(file)) {
        const unsigned long long there = file.bytesRead - cut.start;
        if (cut.size > 0) {
            tell(
                "%s ends inside its settings data frame (0x91): the frame begins at byte %llu and "
                "is %d bytes long, the file holds %llu of them (cut off?)",
                fileArgument, static_cast<unsigned long long>(cut.start),
                static_cast<int>(cut.size), there);
        } else {
            tell(
                "%s ends inside the header of its settings data frame (0x91), which begins at "
                "byte %llu (cut off?)",
                fileArgument, static_cast<unsigned long long>(cut.start));
        }
        return;
    }
    tell(
        "no settings data frame (0x91) in %s: %llu bytes read, %u valid frame%s with other "
        "identifiers",
        fileArgument, static_cast<unsigned long long>(file.bytesRead), file.otherMessages,
        file.otherMessages == 1 ? "" : "s");
}

void warnEndUnacknowledged(const DeviceChannel& port) {
    if (port.ioError() != 0) {
        tellHangUp(port, "warning: the end of the sequence was not acknowledged",
                   "; the data was stored");
        return;
    }
    tell(
        "warning: the end of the sequence was not acknowledged within %d ms; the data was "
        "stored",
        port.timeoutMs);
}

namespace {

// Whether the argument holds a number as the command line reads one: white space, a sign, digits.
bool isNumber(const char* text) {
    while (*text == ' ' || *text == '\t') {
        ++text;
    }
    if (*text == '+' || *text == '-') {
        ++text;
    }
    return *text >= '0' && *text <= '9';
}

}  // namespace

void explainPortOpenFailure(const DeviceChannel& port, const char* portArgument, int32_t portNumber,
                            bool numbered, int32_t baudRate, const char* baudArgument) {
    explainOpenFailure(port);
    if (numbered && portNumber < 1) {
        tell("the port must be a number of 1 or more (or COMn, or a device path), not \"%s\"",
             portArgument);
        return;
    }
    if (baudArgument != nullptr && !isNumber(baudArgument)) {
        tell("the baud rate must be a number, not \"%s\"", baudArgument);
        return;
    }
    switch (port.openProblem()) {
        case OPEN_NOT_FOUND:
            tell("there is no such port");
            listPortsPresent();
            break;
        case OPEN_DENIED:
#ifdef __linux__
            tell(
                "permission denied: serial ports belong to the dialout group (uucp on some "
                "distributions); add yourself with: sudo usermod -aG dialout \"$USER\", then "
                "log out and in again");
#else
            tell("permission denied: this user may not open the port");
#endif
            break;
        case OPEN_BUSY: {
            char holder[64];
            int pid = 0;
            if (DeviceChannel::portHolder(port.openedName(), holder, sizeof holder, &pid)) {
                tell("another program holds the port: %s (pid %d); close it and try again", holder,
                     pid);
            } else {
                tell("another program holds the port; close it and try again");
            }
            break;
        }
        case OPEN_MARKED_EXCLUSIVE:
            tell(
                "the port is marked for exclusive use, but no program holds its lock: a program "
                "that had it open may have been killed (SIGKILL cannot be caught) while another "
                "still keeps it open; the mark goes when every program has closed the port, or "
                "when the adapter is plugged in again");
            break;
        case OPEN_TIMEOUTS_REFUSED:
            tell(
                "the driver did not take the port's read time limits; without them a read could "
                "wait for ever, so the port is not used");
            break;
        case OPEN_DRIVER_FAILED:
            tell(
                "the adapter's driver did not respond or reports the device as not working: "
                "unplug the adapter, plug it in again and retry");
            break;
        case OPEN_SETTINGS_REFUSED:
            tell("the port did not take the line settings (%d baud, 8 data bits, no parity)",
                 static_cast<int>(baudRate));
            break;
        case OPEN_OTHER:
            break;
    }
}

void listPortsPresent() {
    const PortsPresent present = portsPresent();
    if (!present.unreadable.empty()) {
        tell("the list of serial ports could not be read (%s)", present.unreadable.c_str());
        return;
    }
    if (!present.entriesUnreadable.empty()) {
        tell("some entries of the list of serial ports could not be read (%s)",
             present.entriesUnreadable.c_str());
    }
    if (present.ports.empty()) {
        tell("no serial ports found on this system");
        return;
    }
    tell("serial ports present:");
    for (const PortPresent& port : present.ports) {
        if (port.description.empty()) {
            tell("  %s", port.device.c_str());
        } else {
            tell("  %s  %s", port.device.c_str(), port.description.c_str());
        }
    }
}

}  // namespace qorv
