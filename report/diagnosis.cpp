#include "report/diagnosis.h"

#include <cstdio>
#include <string>

#include "channel/ports.h"
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

// Why an exchange on the port did not end in its answer, read off the channel.
Cause exchangeCause(const DeviceChannel& port) {
    if (port.lastResult == RESULT_DEVICE_ERROR) {
        return port.seen.refusalBeforeRequest ? Cause::LateRefusal : Cause::Refused;
    }
    if (port.lastResult == RESULT_UNEXPECTED_REPLY) {
        return Cause::UnexpectedReply;
    }
    if (port.ioError() != 0) {
        return port.ioErrorIsDriverStopped() ? Cause::DriverStopped
               : port.ioErrorIsWriteStall()  ? Cause::WriteStalled
                                             : Cause::HungUp;
    }
    if (port.seen.otherMessages > 0) {
        return Cause::OtherMessages;
    }
    return port.bytesSinceRequest() > 0 ? Cause::NoValidFrame : Cause::NoAnswer;
}

// Whether a settings file ended inside its settings data frame.
bool settingsFrameCutOff(const DeviceChannel& file) {
    return file.seen.cutFrame.present && file.seen.cutFrame.id == MID_QORV_DATA;
}

}  // namespace

Cause causeOf(const Failure& failure) {
    switch (failure.step) {
        case Step::OpenPort:
        case Step::OpenFile:
            return Cause::OpenFailed;
        case Step::ReadSettings:
            if (failure.result == RESULT_OK) {
                return Cause::ShortSettings;
            }
            return settingsFrameCutOff(failure.channel) ? Cause::CutOff : Cause::NoSettingsFrame;
        case Step::Identity:
            if (failure.result == RESULT_OK) {
                return failure.length < sizeof EXPECTED_IDENTITY ? Cause::ShortIdentity
                                                                 : Cause::WrongIdentity;
            }
            break;
        case Step::Probe:
        case Step::Block:
        case Step::Finish:
            break;
    }
    return exchangeCause(failure.channel);
}

// In the order of the enumerations.
const char* const CAUSE_KEYWORDS[] = {
    "open_failed",       "no_matching_port", "ambiguous_port", "short_settings", "cut_off",
    "no_settings_frame", "short_identity",   "wrong_identity", "refused",        "late_refusal",
    "unexpected_reply",  "write_stalled",    "driver_stopped", "hung_up",        "other_messages",
    "no_valid_frame",    "no_answer"};
const char* const STEP_KEYWORDS[] = {"open_port", "probe", "open_file", "read_settings",
                                     "identity",  "block", "finish"};
static_assert(sizeof CAUSE_KEYWORDS / sizeof CAUSE_KEYWORDS[0] ==
                  static_cast<size_t>(Cause::NoAnswer) + 1,
              "a keyword for every cause");
static_assert(sizeof STEP_KEYWORDS / sizeof STEP_KEYWORDS[0] ==
                  static_cast<size_t>(Step::Finish) + 1,
              "a keyword for every step");

const char* causeKeyword(Cause cause) {
    return CAUSE_KEYWORDS[static_cast<size_t>(cause)];
}

const char* stepKeyword(Step step) {
    return STEP_KEYWORDS[static_cast<size_t>(step)];
}

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
                "%s: the port's driver stopped answering (a read or write it was given did not "
                "end, even when cancelled): unplug the adapter, plug it in again and retry",
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

// Whether the system lists the port as a Bluetooth link (by its friendly name, or the name of
// the device behind it).
bool isBluetoothLink(const std::string& device) {
    for (const PortPresent& port : portsPresent().ports) {
        const bool same = device == port.device || device == deviceToOpen(port);
        if (same && (port.description.find("Bluetooth") != std::string::npos ||
                     port.systemName.find("BthModem") != std::string::npos)) {
            return true;
        }
    }
    return false;
}

void explainPortOpenFailure(const DeviceChannel& port, const RunArguments& arguments) {
    const char* portArgument = arguments.port->argument;
    const char* baudArgument = arguments.baudArgument;
    const int32_t baudRate = arguments.baudRate;
    explainOpenFailure(port);
    if (arguments.port->kind == PortKind::Number && arguments.port->number < 1) {
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
            tell("%s", permissionHint());
            break;
        case OPEN_BUSY_OR_RECENT:
            tell(
                "another program holds the port, or it was closed or unplugged a moment ago: "
                "close the other program, or wait a moment, and try again");
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
        case OPEN_SERVER_UNREACHABLE:
            tell(
                "no device server there: check the host and the port (socket://HOST:PORT, "
                "rfc2217://HOST:PORT), and that the server runs and accepts connections");
            break;
        case OPEN_TIMEOUTS_REFUSED:
            tell(
                "the driver did not take the port's read time limits; without them a read could "
                "wait for ever, so the port is not used");
            break;
        case OPEN_DRIVER_FAILED:
            if (isBluetoothLink(port.openedName())) {
                tell(
                    "the port is a Bluetooth link that did not connect: check that the device "
                    "is paired, in range and switched on, and try again");
            } else {
                tell(
                    "the adapter's driver did not respond or reports the device as not working: "
                    "unplug the adapter, plug it in again and retry");
            }
            break;
        case OPEN_SETTINGS_REFUSED:
            tell("the port did not take the line settings (%d baud, 8 data bits, no parity)",
                 static_cast<int>(baudRate));
            break;
        case OPEN_OTHER:
            break;
    }
}

// The probe went unanswered: where to look.
void explainProbe(const DeviceChannel& port, Cause cause) {
    explainExchange(port, "probe", cause);
    if (port.lastResult != RESULT_NO_REPLY || port.ioError() != 0) {
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
// during the failed exchange.
void tellLineErrors(const DeviceChannel& port) {
    LineErrors counted;
    if (!port.lineErrorsSinceRequest(&counted)) {
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

void tellSelection(const char* argument, const PortSelection& selection) {
    if (selection.matches.size() == 1) {
        const PortPresent& port = selection.matches[0];
        tell("%s is %s%s%s", argument, port.device.c_str(), port.description.empty() ? "" : ", ",
             port.description.c_str());
        return;
    }
    if (!selection.present.identities) {
        tell(
            "%s: choosing a port by its USB identity is not supported on this system yet; name "
            "the device (/dev/cu.*)",
            argument);
        listPorts(selection.present);
        return;
    }
    if (selection.matches.empty()) {
        tell("%s picks none of the serial ports present", argument);
        listPorts(selection.present);
        return;
    }
    tell("%s picks %lu ports; name one of them by its selector:", argument,
         static_cast<unsigned long>(selection.matches.size()));
    PortsPresent candidates;
    candidates.ports = selection.matches;
    listPorts(candidates);
}

void listPortsPresent() {
    listPorts(portsPresent());
}

void listPorts(const PortsPresent& present) {
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
        std::string line = "  " + port.device;
        if (!port.description.empty()) {
            line += "  " + port.description;
        }
        if (!port.vid.empty()) {
            line += "  " + port.vid + ":" + port.pid;
            line += port.serial.empty() ? "" : " serial " + port.serial;
            line += port.location.empty() ? "" : " at " + port.location;
            line += "  " + selectorFor(port, present.ports);
        }
        tell("%s", line.c_str());
    }
}

}  // namespace qorv
