// One table of causes: why a step failed, read off the channel once; the explanation and the
// run record both go by it.
#include <cstdio>
#include <string>

#include "channel/ports.h"
#include "protocol/store_layout.h"
#include "report/diagnosis.h"
#include "report/messages.h"
#include "report/output_file.h"

namespace qorv {

namespace {

// Why an exchange on the port did not end in its answer, read off the channel.
Cause exchangeCause(const DeviceChannel& port) {
    if (port.lastResult == RESULT_DEVICE_ERROR) {
        return port.seen.refusalBeforeRequest ? Cause::LateRefusal : Cause::Refused;
    }
    if (port.lastResult == RESULT_UNEXPECTED_REPLY) {
        return Cause::UnexpectedReply;
    }
    if (port.seen.lineNeverQuiet) {
        return Cause::LineNeverQuiet;
    }
    if (port.ioError() != 0) {
        return port.ioErrorIsDriverStopped() ? Cause::DriverStopped
               : port.ioErrorIsWriteStall()  ? Cause::WriteStalled
                                             : Cause::HungUp;
    }
    if (port.seen.otherMessages > 0) {
        return Cause::OtherMessages;
    }
    if (port.bytesSinceRequest() == 0) {
        return Cause::NoAnswer;
    }
    return port.seen.earlyFrameBytesSinceRequest > 0 ? Cause::LateAnswer : Cause::NoValidFrame;
}

}  // namespace

// Whether a settings file ended inside its settings data frame.
bool settingsFrameCutOff(const DeviceChannel& file) {
    return file.seen.cutFrame.present && file.seen.cutFrame.id == MID_QORV_DATA;
}

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
    "line_never_quiet",  "late_answer",      "no_valid_frame", "no_answer"};
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

}  // namespace qorv
