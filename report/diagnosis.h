// What the run says on standard error when a step fails: the cause, with the facts a person at
// the bench needs (the step, the limit, the device's code, the identity, the system's reason),
// and a hint where one helps. Standard output is never touched here.
#pragma once

#include <cstdint>

#include "channel/device_channel.h"

namespace qorv {

// A step of the store, as explanations name it: "probe", "identity request", "block 6 of 16",
// "end of the sequence".
struct Step {
    char name[32];
};
Step stepNamed(const char* name);
Step blockStep(int32_t block);

// Why an exchange on the port did not end in its answer, read off the channel; explanations
// and the run record both go by it.
enum class ExchangeCause {
    Refused,
    LateRefusal,  // a refusal that came after its request had seemed answered
    UnexpectedReply,
    WriteStalled,
    HungUp,
    OtherMessages,
    NoValidFrame,  // bytes came, none of them part of a valid frame
    NoAnswer,
};
ExchangeCause causeOf(const DeviceChannel& port);
// The cause as the run record's keyword ("refused", "no_answer", ...).
const char* causeKeyword(ExchangeCause cause);
// Whether a settings file ended inside its settings data frame.
bool settingsFrameCutOff(const DeviceChannel& file);

// An exchange (probe, block, end) that did not end in its acknowledgement.
void explainExchange(const DeviceChannel& port, const Step& step);
// Block `block` (0-15) of the store, or the end of the sequence (16), did not end in its
// acknowledgement: as explainExchange, and a refusal that came late says which blocks it may be of.
void explainBlockFailure(const DeviceChannel& port, int32_t block);
// The identity request: failed, or answered with an identity this tool does not accept.
void explainIdentity(const DeviceChannel& port, ResultCode result, const uint8_t* identity,
                     uint16_t length, const uint8_t* expected);
// The settings file holds no usable data frame.
void explainSettings(const DeviceChannel& file, const char* fileArgument, ResultCode result,
                     uint16_t dataLength, int32_t needed);
// The end of the sequence was not acknowledged; the data is stored all the same.
void warnEndUnacknowledged(const DeviceChannel& port);
// The port could not be opened: the system's reason, and a hint for the cause.
// `baudArgument` is the baud rate as typed, or null when none was given.
void explainPortOpenFailure(const DeviceChannel& port, const char* portArgument, int32_t portNumber,
                            bool numbered, int32_t baudRate, const char* baudArgument);
// The serial ports this system has, one per line.
void listPortsPresent();

}  // namespace qorv
