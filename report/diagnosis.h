// What the run says on standard error when a step fails: the cause, with the facts a person at
// the bench needs (the step, the limit, the device's code, the identity, the system's reason),
// and a hint where one helps. Standard output is never touched here.
#pragma once

#include <cstdint>

#include "channel/device_channel.h"
#include "channel/ports.h"
#include "report/run_report.h"

namespace qorv {

// Why a step failed. The explanation and the run record both go by it. (Its keywords in
// diagnosis.cpp follow this order.)
enum class Cause {
    OpenFailed,
    NoMatchingPort,  // a selector that picks none of the ports present
    AmbiguousPort,   // a selector that picks several
    ShortSettings,   // a settings data frame too short for the sixteen blocks
    CutOff,          // the file ends inside its settings data frame
    NoSettingsFrame,
    ShortIdentity,
    WrongIdentity,
    Refused,
    LateRefusal,  // a refusal that came after its request had seemed answered
    UnexpectedReply,
    WriteStalled,
    DriverStopped,  // the port's driver did not end a request it was given (Windows)
    HungUp,
    OtherMessages,
    LineNeverQuiet,  // bytes kept coming before the request until its limit: never written
    LateAnswer,      // bytes came, some completing a frame that began before the request
    NoValidFrame,    // bytes came, none of them part of a valid frame
    NoAnswer,
};
Cause causeOf(const Failure& failure);
// The cause and the step as the run record's keywords ("refused", "no_answer"; "block", ...).
const char* causeKeyword(Cause cause);
const char* stepKeyword(Step step);

// Whether a settings file ended inside its settings data frame.
bool settingsFrameCutOff(const DeviceChannel& file);
// The explanation of a port that did not open.
void explainPortOpenFailure(const DeviceChannel& port, const RunArguments& arguments);
// The explanation of a failure classified as `cause`.
void explainFailure(const Failure& failure, Cause cause, const RunArguments& arguments);
// The end of the sequence was not acknowledged; the data is stored all the same.
void warnEndUnacknowledged(const DeviceChannel& port);
// The serial ports this system has, one per line, each with what it is and the selector that
// picks it.
void listPortsPresent();
void listPorts(const PortsPresent& present);
// How a selector was resolved, or why it could not be.
void tellSelection(const char* argument, const PortSelection& selection);

}  // namespace qorv
