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

// The settings file every run writes, removed when the process ends.
struct ScratchFile {
    ScratchFile()
        : path(std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/qorv-fuzz-" +
               std::to_string(getpid()) + ".qorv") {}
    ~ScratchFile() { unlink(path.c_str()); }
    const std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const int mode = data[0] % 3;
    std::vector<std::vector<uint8_t>> frames;
    const std::vector<uint8_t> input = inputForMode(mode, data + 1, size - 1, &frames);
    static const ScratchFile scratch;
    const std::string& path = scratch.path;
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
        FUZZ_CHECK(channel.openFile(path.c_str()) == qorv::RESULT_OK);
        result = channel.waitForMessage(qorv::MID_QORV_DATA, settings, &length, &bid);
        channel.close();
        counting = false;
    }
    FUZZ_CHECK(allocations == 0);
    FUZZ_CHECK(result == qorv::RESULT_OK || result == qorv::RESULT_END_OF_FILE);
    if (result == qorv::RESULT_OK) {
        FUZZ_CHECK(length <= qorv::MAX_DATA_LENGTH);
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
