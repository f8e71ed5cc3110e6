// The reader fuzzer's line on the in-memory back end: a "file" or "port" whose reads return the
// input in the chunks the fuzzer chose, so that the real reader sees bytes arrive piecemeal. The
// clock is simulated: like a real port read, a read that finds nothing takes one millisecond, so
// time limits pass without any waiting.
#include "fuzz/memory_platform.h"

#include <cstring>

#include "tests/memory_backend.h"

namespace qorv {
namespace memory_platform {

namespace {
const uint8_t* source = nullptr;
const size_t* chunkEnds = nullptr;
const uint8_t* chunkGaps = nullptr;
size_t chunkCount = 0;
size_t position = 0;
size_t chunk = 0;
int gapLeft = 0;
int32_t clockMs = 0;
bool held = false;

// Takes up to `count` bytes of the current chunk; with `withGaps`, first the empty reads before it.
int32_t take(uint8_t* buffer, int32_t count, bool withGaps) {
    while (chunk < chunkCount && position >= chunkEnds[chunk]) {
        ++chunk;
        gapLeft = chunkGaps != nullptr && chunk < chunkCount ? chunkGaps[chunk] : 0;
    }
    if (chunk == chunkCount || (withGaps && gapLeft > 0)) {
        --gapLeft;
        ++clockMs;
        return 0;
    }
    const size_t available = chunkEnds[chunk] - position;
    const size_t wanted = static_cast<size_t>(count);
    const size_t taken = available < wanted ? available : wanted;
    std::memcpy(buffer, source + position, taken);
    position += taken;
    return static_cast<int32_t>(taken);
}
// The chunked input on a port and in the settings file, on the simulated clock.
class ChunkedLine : public memory_backend::Line {
  public:
    int32_t nowMs() override { return clockMs; }
    int32_t read(uint8_t* buffer, int32_t count, int32_t waitUs) override {
        if (held) {
            clockMs += (waitUs + 999) / 1000;
            return 0;
        }
        return take(buffer, count, waitUs > 0);
    }
    void sleep(int32_t ms) override { clockMs += ms; }
    int32_t write(const uint8_t*, int32_t count) override {
        held = false;
        return count;
    }
    // The harness delivers the answers before the request is sent: none of them counts as
    // having arrived before it.
    int32_t queued() override { return 0; }
    int openFile(const char*, OsHandle* handle) override {
        *handle = 1;
        return 0;
    }
    int32_t readFile(OsHandle, uint8_t* buffer, int32_t count) override {
        return take(buffer, count, false);
    }
    void closeFile(OsHandle) override {}
};

ChunkedLine chunkedLine;

}  // namespace

void load(const uint8_t* bytes, const size_t* ends, const uint8_t* gaps, size_t count) {
    memory_backend::use(&chunkedLine);
    source = bytes;
    chunkEnds = ends;
    chunkGaps = gaps;
    chunkCount = count;
    position = 0;
    chunk = 0;
    gapLeft = gaps != nullptr && count > 0 ? gaps[0] : 0;
}

void holdUntilWritten() {
    held = true;
}

bool exhausted() {
    return chunk == chunkCount || position >= chunkEnds[chunkCount - 1];
}

}  // namespace memory_platform
}  // namespace qorv
