// Fuzz target: arbitrary bytes arriving in fuzzer-chosen chunks, read with readMessage until the
// end of the input. First byte: mode (raw, checksums fixed up, or valid frames separated by
// noise without a preamble) and channel (a file, or a port with a time limit on a simulated
// clock); second byte: the chunk pattern, and on a port whether pauses come between chunks.
#include <vector>

#include "channel/device_channel.h"
#include "fuzz/harness.h"
#include "fuzz/memory_platform.h"

using namespace fuzzing;

namespace {

constexpr size_t MAX_FRAMES = 4096;
constexpr int16_t TIME_LIMIT_MS = 20;

struct Returned {
    uint8_t frame[qorv::FRAME_BUFFER_SIZE];
    uint16_t length;
};

// The acknowledgement wait sees the frames an ideal reader finds, in order, and ends at the first
// acknowledgement or error message among them, unless its time limit ran out first (a false
// header can hold the rest of the input until then).
void checkProbe(qorv::DeviceChannel& channel, const std::vector<uint8_t>& input) {
    const int32_t start = qorv::DeviceChannel::nowMs();
    qorv::memory_platform::holdUntilWritten();
    counting = true;
    const qorv::ResultCode result = channel.sendCommand(qorv::MID_PROBE, 0, 0, qorv::BID_DEFAULT);
    counting = false;
    FUZZ_CHECK(allocations == 0);
    FUZZ_CHECK(channel.deadline == 0);
    const bool timeRanOut = qorv::DeviceChannel::nowMs() > start + TIME_LIMIT_MS;
    const std::vector<std::vector<uint8_t>> frames = referenceFrames(input);
    for (const std::vector<uint8_t>& frame : frames) {
        const bool acknowledged = frame[2] == qorv::MID_PROBE + 1;
        if (!acknowledged && frame[2] != qorv::MID_ERROR) {
            continue;
        }
        if (result == qorv::RESULT_TIMEOUT || result == qorv::RESULT_NO_REPLY) {
            FUZZ_CHECK(timeRanOut);
        } else if (acknowledged) {
            FUZZ_CHECK(result == qorv::RESULT_OK);
        } else {
            FUZZ_CHECK(result == qorv::RESULT_DEVICE_ERROR);
            const size_t offset = frame[3] == 0xFF ? 6 : 4;
            FUZZ_CHECK(channel.deviceError == (frame.size() > offset + 1 ? frame[offset] : 0));
        }
        return;
    }
    FUZZ_CHECK(result == (frames.empty() ? qorv::RESULT_NO_REPLY : qorv::RESULT_TIMEOUT));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const int mode = data[0] % 3;
    const bool onPort = (data[0] / 3) % 2 == 1;
    // On a port, the input may instead be the answers to a probe: one acknowledgement wait.
    const bool probe = onPort && (data[0] / 6) % 2 == 1;
    const uint8_t pattern = data[1];
    // Pauses between chunks, some longer than the time limit, in half of the port runs.
    const bool pauses = onPort && (pattern & 0x80) != 0;
    std::vector<std::vector<uint8_t>> expected;
    const std::vector<uint8_t> input = inputForMode(mode, data + 2, size - 2, &expected);

    // Chunk sizes from 1 to (pattern % 64) + 1; pattern 0 delivers the input whole.
    std::vector<size_t> ends;
    std::vector<uint8_t> gaps;
    uint32_t state = pattern;
    for (size_t end = 0; end < input.size();) {
        state = state * 1103515245u + 12345u;
        end = pattern == 0 ? input.size() : end + 1 + (state >> 16) % (pattern % 64 + 1);
        ends.push_back(end < input.size() ? end : input.size());
        gaps.push_back(pauses ? static_cast<uint8_t>((state >> 8) % (TIME_LIMIT_MS * 2)) : 0);
    }
    qorv::memory_platform::load(input.data(), ends.data(), gaps.data(), ends.size());

    static Returned returned[MAX_FRAMES];
    size_t count = 0;
    qorv::DeviceChannel channel;
    if (onPort) {
        FUZZ_CHECK(channel.openPortPath("memory", 115200, 4096, 1024) == qorv::RESULT_OK);
        channel.timeoutMs = TIME_LIMIT_MS;
    } else {
        FUZZ_CHECK(channel.openFile("memory") == qorv::RESULT_OK);
    }
    allocations = 0;
    if (probe && !pauses) {
        checkProbe(channel, input);
        return 0;
    }
    qorv::ResultCode result;
    bool timedOutEarly = false;
    counting = true;
    for (;;) {
        result = channel.readMessage(returned[count].frame, &returned[count].length);
        if (result == qorv::RESULT_OK) {
            if (++count == MAX_FRAMES) {
                break;
            }
            continue;
        }
        // A port ends in a timeout; before the input is used up, a timeout means a pause.
        if (result != qorv::RESULT_TIMEOUT || qorv::memory_platform::exhausted()) {
            break;
        }
        timedOutEarly = true;
    }
    counting = false;
    FUZZ_CHECK(allocations == 0);
    FUZZ_CHECK(result == (onPort ? qorv::RESULT_TIMEOUT : qorv::RESULT_END_OF_FILE));

    // Every frame is valid and stands in the input, in order, each after the one before.
    size_t from = 0;
    for (size_t i = 0; i < count; ++i) {
        FUZZ_CHECK(frameIsValid(returned[i].frame, returned[i].length));
        const long at = find(input, returned[i].frame, returned[i].length, from);
        FUZZ_CHECK(at >= 0);
        from = static_cast<size_t>(at) + returned[i].length;
    }
    // No frame is lost: the reader finds exactly what an ideal reader of the whole input finds,
    // however the input was cut into chunks. Valid frames separated only by bytes other than a
    // preamble are all among them. (Pauses are left out: a frame still arriving when the time
    // limit passes is rightly given up.)
    if (pauses || timedOutEarly) {
        return 0;
    }
    const std::vector<std::vector<uint8_t>> reference = referenceFrames(input);
    FUZZ_CHECK(count == reference.size());
    for (size_t i = 0; i < count; ++i) {
        FUZZ_CHECK(std::vector<uint8_t>(returned[i].frame,
                                        returned[i].frame + returned[i].length) == reference[i]);
    }
    if (mode == 2) {
        FUZZ_CHECK(reference == expected);
    }
    return 0;
}
