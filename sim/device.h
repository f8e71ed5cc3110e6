// The device itself, pure: a request frame in; what it stores, and the bytes it answers with,
// each at its time after the request, out. How it misbehaves at an exchange is a fault. The
// simulator carries its answers over a pseudo-terminal in real time, the campaigns' simulated
// line over a simulated wire and clock, the Windows driver model through a model of the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/frames.h"

namespace pelorix {

enum class Fault {
    None,
    Silence,           // the request is ignored: not carried out, not answered
    Error,             // answered by the error message with code `value` (none if negative)
    BadChecksumFirst,  // a frame with a wrong checksum, then the answer
    UnrelatedFirst,    // two unrelated frames, then the answer
    UnrelatedOnly,     // two unrelated frames instead of the answer
    SwallowingNoise,   // a false header whose length takes in the answer that follows
    Split,             // the answer one byte at a time, a millisecond apart
    Delay,             // the answer after `value` milliseconds
    HangUp,            // the line is hung up instead of answering
    Noise,             // bytes without a preamble before the answer
    Duplicate,         // the answer twice
    Babble,            // preambles streamed for `value` milliseconds instead of the answer
    LateDuplicate,     // the answer, and again `value` milliseconds later
    StaleThenError,    // the previous answer and the error message (code `value`) in one write
    Flood,             // the answer, `value` bytes of noise and the answer again, in one write
    FloodThenError,    // the answer, `value` bytes of noise and the error message 0x04, likewise
    SplitRefusal,      // as StaleThenError (0x04), the refusal's last bytes `value` ms later
    AnswerLost,        // carried out, the answer lost on the line
};

struct FaultRule {
    int exchange = EXCHANGE_ANY;
    Fault fault = Fault::None;
    int value = 0;
};

// Bytes the device puts on the line, `afterUs` after it took the request.
struct Emission {
    int64_t afterUs = 0;
    std::vector<uint8_t> bytes;
    // It holds the end of an error message.
    bool refusal = false;
    // The rest of a frame an earlier emission began: nothing else goes on the line before it.
    bool continuation = false;
    // Bytes [strayFrom, strayTo) are a flood's noise.
    size_t strayFrom = 0;
    size_t strayTo = 0;
};

struct Reply {
    Request request;
    Fault fault = Fault::None;
    std::vector<Emission> emissions;
    // Preambles streamed for this long instead of an answer.
    int babbleMs = 0;
    bool answeredTwice = false;
};

class Device {
  public:
    // `rulesOnce`: a rule for one exchange applies the first time that exchange is asked for;
    // otherwise every time. A rule for EXCHANGE_ANY applies wherever no other does.
    Device(std::vector<uint8_t> identity, std::vector<FaultRule> faults, bool rulesOnce = false);

    Reply take(const std::vector<uint8_t>& frame);

    // 16 blocks of 66 bytes; blocks never stored are zero.
    const std::vector<uint8_t>& stored() const { return storage; }
    const std::vector<bool>& blocksStored() const { return blockStored; }

  private:
    const FaultRule* faultFor(int exchange);

    std::vector<uint8_t> identity;
    std::vector<FaultRule> faults;
    std::vector<bool> ruleUsed;
    bool rulesOnce;
    std::vector<uint8_t> storage;
    std::vector<bool> blockStored;
    std::vector<uint8_t> previousAnswer;
};

// The identity the tool accepts.
extern const std::vector<uint8_t> EXPECTED_DEVICE_IDENTITY;

}  // namespace pelorix
