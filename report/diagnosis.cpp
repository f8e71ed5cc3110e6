#include "report/diagnosis.h"

#include <cstdio>
#include <string>

#include "protocol/store_layout.h"
#include "report/messages.h"
#include "report/output_file.h"

namespace qorv {

namespace {

// The system's reason for a failed read or write, with its code where the codes are Windows'.
void ioReason(const DeviceChannel& port, char* out, size_t size) {
    char text[256];
    port.describeIoError(text, sizeof text);
    if (errorCodesShown()) {
        std::snprintf(out, size, "error %d: %s", port.ioError(), text);
    } else {
        std::snprintf(out, size, "%s", text);
    }
}

// "with error code 0x04", or "without an error code" for a refusal that carried no data.
void refusalCode(const DeviceChannel& port, char* out, size_t size) {
    if (port.seen.deviceErrorCoded) {
        std::snprintf(out, size, "with error code 0x%02X", port.deviceError);
    } else {
        std::snprintf(out, size, "without an error code");
    }
}

// The hang-up, with the system's reason where the system gave one, then `tail`.
void tellHangUp(const DeviceChannel& port, const char* what, const char* tail) {
    if (port.onDeviceServer()) {
        // A server closes the connection also when another client holds its port (ser2net
        // says "Port already in use" and closes), or when it is still closing the last one.
        tell(
            "%s: the device server closed the connection (another client may hold its port, "
            "or the server stopped)%s",
            what, tail);
        return;
    }
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

// A step as explanations name it: "probe", "identity request", "block 6 of 16", "end of the
// sequence".
struct StepName {
    char text[32];
};

StepName nameOf(Step step, int32_t block) {
    StepName name{};
    switch (step) {
        case Step::Block:
            std::snprintf(name.text, sizeof name.text, "block %d of 16", static_cast<int>(block));
            break;
        case Step::Finish:
            std::snprintf(name.text, sizeof name.text, "end of the sequence");
            break;
        case Step::Identity:
            std::snprintf(name.text, sizeof name.text, "identity request");
            break;
        default:
            std::snprintf(name.text, sizeof name.text, "%s", stepKeyword(step));
            break;
    }
    return name;
}

}  // namespace

namespace {

void explainExchange(const DeviceChannel& port, const char* step, Cause cause) {
    char code[32];
    switch (cause) {
        case Cause::Refused:
        case Cause::LateRefusal:
            refusalCode(port, code, sizeof code);
            tell("%s refused by the device %s", step, code);
            return;
        case Cause::UnexpectedReply:
            tell("%s answered by message 0x%02X", step, port.seen.lastMessageId);
            return;
        case Cause::WriteStalled:
            tell(
                "%s: the device or the adapter stopped taking data (a write did not complete "
                "within its time limit)",
                step);
            return;
        case Cause::DriverStopped:
            tell(
                "%s: the port's driver stopped answering (a request it was given did not end): "
                "the adapter's driver is stuck: unplug it and plug it in again; until then "
                "Windows may keep the port, and this program, for some minutes",
                step);
            return;
        case Cause::HungUp:
            tellHangUp(port, step, "");
            return;
        case Cause::OtherMessages:
            tell(
                "%s: no acknowledgement within %d ms; %u other message%s came, none acknowledged "
                "the request",
                step, port.timeoutMs, port.seen.otherMessages,
                port.seen.otherMessages == 1 ? "" : "s");
            return;
        case Cause::LineNeverQuiet: {
            const uint32_t bytes = port.seen.bytesBeforeRequest;
            // Before a request it was not written; after the end of the sequence, what still
            // comes may hold a refusal.
            tell(
                "%s: the line never went quiet: %lu byte%s came within %d ms and kept coming, %s; "
                "check that nothing else sends on this line and the baud rate",
                step, static_cast<unsigned long>(bytes), bytes == 1 ? "" : "s", port.timeoutMs,
                port.lastResult == RESULT_NO_REPLY ? "so the request was not sent"
                                                   : "so a refusal may be among them");
            return;
        }
        case Cause::LateAnswer:
        case Cause::NoValidFrame: {
            const uint32_t bytes = port.bytesSinceRequest();
            const uint32_t early = port.seen.earlyFrameBytesSinceRequest;
            if (early == 0) {
                tell(
                    "%s: no answer within %d ms; %lu byte%s came, none of them part of a valid "
                    "frame",
                    step, port.timeoutMs, static_cast<unsigned long>(bytes), bytes == 1 ? "" : "s");
                return;
            }
            // The end of a frame that began before the request: a late or doubled answer.
            tell(
                "%s: no answer within %d ms; %lu byte%s came: %lu completed a frame that began "
                "before the request (a late answer to an earlier one), %lu formed no valid frame",
                step, port.timeoutMs, static_cast<unsigned long>(bytes), bytes == 1 ? "" : "s",
                static_cast<unsigned long>(early), static_cast<unsigned long>(bytes - early));
            return;
        }
        case Cause::NoAnswer:
        default:
            tell("%s: no answer within %d ms", step, port.timeoutMs);
            return;
    }
}

void explainBlockFailure(const DeviceChannel& port, int32_t block, Cause cause) {
    if (cause == Cause::LateRefusal) {
        // It came too late to answer the request in progress, so it refused an earlier one.
        char code[32];
        refusalCode(port, code, sizeof code);
        tell(
            "a refusal %s arrived after block %d of 16 was acknowledged: block %d or an earlier "
            "block was refused",
            code, static_cast<int>(block), static_cast<int>(block));
        return;
    }
    explainExchange(port, nameOf(block < 16 ? Step::Block : Step::Finish, block + 1).text, cause);
}

void explainIdentity(const DeviceChannel& port, Cause cause, ResultCode result,
                     const uint8_t* identity, uint16_t length, const uint8_t* expected) {
    const char* step = "identity request";
    if (result == RESULT_UNEXPECTED_REPLY) {
        tell("%s answered by message 0x%02X instead of the identity (0x01)", step,
             port.seen.lastMessageId);
        return;
    }
    if (result != RESULT_OK) {
        explainExchange(port, step, cause);
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
    const DeviceChannel::CutFrame& cut = file.seen.cutFrame;
    if (result == RESULT_END_OF_FILE && settingsFrameCutOff(file)) {
        const unsigned long long there = file.bytesReadSinceOpen() - cut.start;
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
        fileArgument, static_cast<unsigned long long>(file.bytesReadSinceOpen()),
        file.seen.otherMessages, file.seen.otherMessages == 1 ? "" : "s");
}

}  // namespace

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

// The probe went unanswered: where to look.
void explainProbe(const DeviceChannel& port, Cause cause) {
    explainExchange(port, "probe", cause);
    if (port.lastResult != RESULT_NO_REPLY || port.ioError() != 0 ||
        cause == Cause::LineNeverQuiet) {
        return;
    }
    if (port.bytesSinceRequest() > 0) {
        tell(
            "bytes come but none forms a frame: check that the baud rate is the device's "
            "(115200 unless given) and that nothing else sends on this line");
    } else {
        tell(
            "check that the device is powered, that its cable is on this port, and the baud "
            "rate");
    }
}

// "12 framing errors, 1 overrun on the line" and what to check, when the driver counted any
// during the failed exchange; that it cannot, when its driver reports none and bytes came.
void tellLineErrors(const DeviceChannel& port) {
    LineErrors counted;
    if (!port.lineErrorsSinceRequest(&counted)) {
        if (port.driverWithoutLineErrors()[0] != '\0' && port.bytesSinceRequest() > 0) {
            tell(
                "the port's driver (%s) reports no line errors: whether these bytes came garbled "
                "cannot be told",
                port.driverWithoutLineErrors());
        }
        return;
    }
    char text[160] = "";
    size_t at = 0;
    const struct {
        uint32_t count;
        const char* one;
        const char* many;
    } kinds[] = {{counted.framing, "framing error", "framing errors"},
                 {counted.parity, "parity error", "parity errors"},
                 {counted.overrun, "overrun", "overruns"},
                 {counted.breaks, "break", "breaks"}};
    for (const auto& kind : kinds) {
        if (kind.count > 0 && at < sizeof text) {
            at += static_cast<size_t>(std::snprintf(
                text + at, sizeof text - at, "%s%lu %s", at == 0 ? "" : ", ",
                static_cast<unsigned long>(kind.count), kind.count == 1 ? kind.one : kind.many));
        }
    }
    if (at == 0) {
        return;
    }
    const char* check = counted.framing + counted.parity > 0
                            ? "check the baud rate (115200 unless given) and the cable"
                        : counted.breaks > 0 ? "the line was held low: check the cable and the "
                                               "device's power"
                                             : "bytes came faster than the port took them";
    tell("%s on the line: %s", text, check);
}

void explainStep(const Failure& failure, Cause cause, const RunArguments& arguments) {
    const DeviceChannel& channel = failure.channel;
    switch (failure.step) {
        case Step::OpenPort:
            explainPortOpenFailure(channel, arguments);
            return;
        case Step::Probe:
            explainProbe(channel, cause);
            return;
        case Step::OpenFile:
            explainOpenFailure(channel);
            return;
        case Step::ReadSettings:
            explainSettings(channel, arguments.file, failure.result, failure.length,
                            SETTINGS_DATA_SIZE);
            return;
        case Step::Identity:
            explainIdentity(channel, cause, failure.result, failure.data, failure.length,
                            EXPECTED_IDENTITY);
            return;
        case Step::Block:
            // A refusal that came late follows the last block acknowledged.
            explainBlockFailure(channel, failure.block - 1, cause);
            return;
        case Step::Finish:
            explainBlockFailure(channel, STORE_BLOCKS, cause);
            return;
    }
}

}  // namespace

void explainFailure(const Failure& failure, Cause cause, const RunArguments& arguments) {
    const DeviceChannel& channel = failure.channel;
    explainStep(failure, cause, arguments);
    if (failure.step != Step::OpenPort && failure.step != Step::OpenFile &&
        failure.step != Step::ReadSettings) {
        tellLineErrors(channel);
    }
}
}  // namespace qorv
