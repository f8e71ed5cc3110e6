// Fuzz target: arbitrary bytes written as a settings file and read as the tool reads it. First
// byte: mode (raw, checksums fixed up, or valid frames separated by noise without a preamble).
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "channel/device_channel.h"
#include "fuzz/harness.h"

using namespace fuzzing;

namespace {

std::string scratchPath() {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/qorv-fuzz-" + std::to_string(getpid()) + ".qorv";
}

// Both encodings of a settings frame with this data, as a reader may have found it.
bool standsInInput(const std::vector<uint8_t>& input, uint8_t bid, const uint8_t* data,
                   uint16_t length) {
    for (bool extended : {false, true}) {
        if (!extended && length >= 255) {
            continue;
        }
        std::vector<uint8_t> frame{0xFA, bid, 0x91};
        if (extended) {
            frame.insert(frame.end(),
                         {0xFF, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
        } else {
            frame.push_back(static_cast<uint8_t>(length));
        }
        frame.insert(frame.end(), data, data + length);
        unsigned sum = 0;
        for (size_t i = 1; i < frame.size(); ++i) {
            sum += frame[i];
        }
        frame.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
        if (find(input, frame.data(), frame.size(), 0) >= 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const int mode = data[0] % 3;
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint8_t> input;
    if (mode == 2) {
        input = structuredStream(data + 1, size - 1, &frames);
    } else {
        input.assign(data + 1, data + size);
        if (mode == 1) {
            fixUpChecksums(input);
        }
    }
    static const std::string path = scratchPath();
    FILE* file = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(input.data(), 1, input.size(), file) == input.size());
    std::fclose(file);

    static uint8_t settings[qorv::MAX_DATA_LENGTH];
    uint16_t length = 0xFFFF;
    uint8_t bid = 0;
    qorv::ResultCode result;
    {
        qorv::DeviceChannel channel;
        allocations = 0;
        counting = true;
        FUZZ_CHECK(channel.openFile(path.c_str(), false) == qorv::RESULT_OK);
        result = channel.waitForMessage(qorv::MID_QORV_DATA, settings, &length, &bid);
        channel.close();
        counting = false;
    }
    FUZZ_CHECK(allocations == 0);
    FUZZ_CHECK(result == qorv::RESULT_OK || result == qorv::RESULT_END_OF_FILE);
    if (result == qorv::RESULT_OK) {
        FUZZ_CHECK(length <= qorv::MAX_DATA_LENGTH);
        FUZZ_CHECK(standsInInput(input, bid, settings, length));
    }
    // The first settings frame an ideal reader finds is the one returned.
    const std::vector<std::vector<uint8_t>> reference = referenceFrames(input);
    const std::vector<uint8_t>* first = nullptr;
    for (const auto& frame : reference) {
        if (frame[2] == 0x91) {
            first = &frame;
            break;
        }
    }
    FUZZ_CHECK((result == qorv::RESULT_OK) == (first != nullptr));
    if (first != nullptr) {
        const size_t offset = (*first)[3] == 0xFF ? 6 : 4;
        FUZZ_CHECK((*first)[1] == bid);
        FUZZ_CHECK(
            std::vector<uint8_t>(first->begin() + static_cast<long>(offset), first->end() - 1) ==
            std::vector<uint8_t>(settings, settings + length));
    }
    if (mode == 2) {
        FUZZ_CHECK(reference == frames);
    }
    return 0;
}
