// Fuzz target: arbitrary bytes arriving in fuzzer-chosen chunks, read with readMessage until the
// end of the input. First byte: mode (raw, checksums fixed up, or valid frames separated by
// noise without a preamble); second byte: the chunk pattern.
#include <vector>

#include "channel/device_channel.h"
#include "fuzz/harness.h"
#include "fuzz/memory_platform.h"

using namespace fuzzing;

namespace {

constexpr size_t MAX_FRAMES = 4096;

struct Returned {
    uint8_t frame[qorv::FRAME_BUFFER_SIZE];
    uint16_t length;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const int mode = data[0] % 3;
    const uint8_t pattern = data[1];
    std::vector<std::vector<uint8_t>> expected;
    const std::vector<uint8_t> input = inputForMode(mode, data + 2, size - 2, &expected);

    // Chunk sizes from 1 to (pattern % 64) + 1; pattern 0 delivers the input whole.
    std::vector<size_t> ends;
    uint32_t state = pattern;
    for (size_t end = 0; end < input.size();) {
        state = state * 1103515245u + 12345u;
        end = pattern == 0 ? input.size() : end + 1 + (state >> 16) % (pattern % 64 + 1);
        ends.push_back(end < input.size() ? end : input.size());
    }
    qorv::memory_platform::load(input.data(), ends.data(), ends.size());

    static Returned returned[MAX_FRAMES];
    size_t count = 0;
    qorv::DeviceChannel channel;
    FUZZ_CHECK(channel.openFile("memory", false) == qorv::RESULT_OK);
    qorv::ResultCode result;
    allocations = 0;
    counting = true;
    do {
        result = channel.readMessage(returned[count].frame, &returned[count].length);
    } while (result == qorv::RESULT_OK && ++count < MAX_FRAMES);
    counting = false;
    FUZZ_CHECK(allocations == 0);
    FUZZ_CHECK(result == qorv::RESULT_END_OF_FILE);

    // Every frame is valid and stands in the input, in order, each after the one before.
    size_t from = 0;
    for (size_t i = 0; i < count; ++i) {
        FUZZ_CHECK(frameIsValid(returned[i].frame, returned[i].length));
        const long at = find(input, returned[i].frame, returned[i].length, from);
        FUZZ_CHECK(at >= 0);
        from = static_cast<size_t>(at) + returned[i].length;
    }
    // No frame is lost: the reader finds exactly what an ideal reader of the whole input finds,
    // however the input arrived. Valid frames separated only by bytes other than a preamble are
    // all among them.
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
