#include "sim/device.h"

#include <algorithm>

namespace pelorix {

const std::vector<uint8_t> EXPECTED_DEVICE_IDENTITY{0x00, 0x30, 0x03, 0x60};

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t REFUSED = 0x04;
constexpr uint8_t FLOOD_BYTE = 0x55;

Bytes errorMessage(int code) {
    // A negative code: an error message without data.
    return code < 0 ? encodeFrame(0x42, {}) : encodeFrame(0x42, {static_cast<uint8_t>(code)});
}

Bytes joined(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// Faults under which a store block is not stored.
bool refuses(Fault fault) {
    return fault == Fault::Error || fault == Fault::Silence || fault == Fault::HangUp ||
           fault == Fault::UnrelatedOnly || fault == Fault::StaleThenError ||
           fault == Fault::SplitRefusal;
}

}  // namespace

Device::Device(std::vector<uint8_t> identity, std::vector<FaultRule> faults, bool rulesOnce)
    : identity(std::move(identity)),
      faults(std::move(faults)),
      ruleUsed(this->faults.size(), false),
      rulesOnce(rulesOnce),
      storage(STORE_BLOCKS * BLOCK_SIZE, 0),
      blockStored(STORE_BLOCKS, false) {}

const FaultRule* Device::faultFor(int exchange) {
    for (int wanted : {exchange, EXCHANGE_ANY}) {
        for (size_t i = 0; i < faults.size(); ++i) {
            if (faults[i].exchange == wanted && !(rulesOnce && ruleUsed[i])) {
                ruleUsed[i] = rulesOnce && wanted != EXCHANGE_ANY;
                return &faults[i];
            }
        }
    }
    return nullptr;
}

Reply Device::take(const Bytes& frame) {
    Reply reply;
    reply.request = requestOf(frame, identity);
    const Request& request = reply.request;
    const Bytes& answer = request.answer;
    if (request.exchange < 0) {
        reply.emissions.push_back({0, answer, true});
        return reply;
    }
    const FaultRule* rule = faultFor(request.exchange);
    const Fault fault = rule != nullptr ? rule->fault : Fault::None;
    const int value = rule != nullptr ? rule->value : 0;
    reply.fault = fault;
    if (fault == Fault::Silence) {
        return reply;
    }
    if (request.block >= 0 && !refuses(fault)) {
        std::copy(request.blockData.begin(), request.blockData.end(),
                  storage.begin() + request.block * BLOCK_SIZE);
        blockStored[static_cast<size_t>(request.block)] = true;
    }
    const Bytes previous = previousAnswer.empty() ? answer : previousAnswer;
    previousAnswer = answer;
    const Bytes refusal = errorMessage(REFUSED);
    const auto emit = [&](int64_t afterUs, Bytes bytes, bool refused = false) {
        reply.emissions.push_back({afterUs, std::move(bytes), refused});
    };
    reply.answeredTwice =
        fault == Fault::Duplicate || fault == Fault::LateDuplicate || fault == Fault::Flood;
    switch (fault) {
        case Fault::None:
            emit(0, answer);
            break;
        case Fault::Split:
            for (size_t i = 0; i < answer.size(); ++i) {
                emit(static_cast<int64_t>(i) * 1000, {answer[i]});
            }
            break;
        case Fault::Delay:
            emit(value * 1000LL, answer);
            break;
        case Fault::Duplicate:
            emit(0, joined(answer, answer));
            break;
        case Fault::LateDuplicate:
            emit(0, answer);
            emit(value * 1000LL, answer);
            break;
        case Fault::Error:
            emit(0, errorMessage(value), true);
            break;
        case Fault::StaleThenError:
            emit(0, joined(previous, errorMessage(value)), true);
            break;
        case Fault::SplitRefusal:
            emit(0, joined(previous, Bytes(refusal.begin(), refusal.begin() + 3)));
            emit(value * 1000LL, Bytes(refusal.begin() + 3, refusal.end()), true);
            reply.emissions.back().continuation = true;
            break;
        case Fault::Flood:
        case Fault::FloodThenError: {
            // More than a tty's read buffer holds, so that what follows waits in its driver.
            Bytes bytes = answer;
            bytes.insert(bytes.end(), static_cast<size_t>(value), FLOOD_BYTE);
            emit(0, joined(bytes, fault == Fault::Flood ? answer : refusal),
                 fault == Fault::FloodThenError);
            reply.emissions.back().strayFrom = answer.size();
            reply.emissions.back().strayTo = bytes.size();
            break;
        }
        case Fault::BadChecksumFirst: {
            const Bytes bad(answer.begin(), answer.end() - 1);
            emit(0, joined(joined(bad, {static_cast<uint8_t>(answer.back() + 1)}), answer));
            break;
        }
        case Fault::UnrelatedFirst:
        case Fault::UnrelatedOnly: {
            const Bytes others = joined(encodeFrame(0x7E, {}), encodeFrame(0x55, {0x01, 0x02}));
            emit(0, fault == Fault::UnrelatedFirst ? joined(others, answer) : others);
            break;
        }
        case Fault::SwallowingNoise:
            // A false header whose length (32) runs past the answer that follows it.
            emit(0, joined({PREAMBLE, 0xFF, 0x7E, 0x20}, answer));
            break;
        case Fault::Noise:
            emit(0, joined({0x00, 0x12, 0x55, 0xAA, 0x0D, 0x0A}, answer));
            break;
        case Fault::Babble:
            reply.babbleMs = value;
            break;
        case Fault::Silence:
        case Fault::HangUp:
        case Fault::AnswerLost:
            break;
    }
    return reply;
}

}  // namespace pelorix
