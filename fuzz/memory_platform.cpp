// An in-memory operating-system side for the channel, used by the reader fuzzer: a "file" whose
// reads return the input in the chunks the fuzzer chose, so the real reader sees bytes arrive
// piecemeal, as from a port, and still reaches an end.
#include "fuzz/memory_platform.h"

#include <cstdio>
#include <cstring>

#include "channel/platform.h"

namespace qorv {
namespace memory_platform {

namespace {
const uint8_t* source = nullptr;
const size_t* chunkEnds = nullptr;
size_t chunkCount = 0;
size_t position = 0;
size_t chunk = 0;
}  // namespace

void load(const uint8_t* bytes, const size_t* ends, size_t count) {
    source = bytes;
    chunkEnds = ends;
    chunkCount = count;
    position = 0;
    chunk = 0;
}

}  // namespace memory_platform

namespace platform {

using namespace memory_platform;

void portDeviceName(int32_t portNumber, char* out, size_t size) {
    std::snprintf(out, size, "memory%d", static_cast<int>(portNumber));
}

int openPort(const char*, int32_t, int32_t, int32_t, OsHandle*) {
    return 1;
}

int openFile(const char*, bool, OsHandle* handle) {
    *handle = 1;
    return 0;
}

int32_t readPort(OsHandle, uint8_t*, int32_t) {
    return 0;
}

int32_t readFile(OsHandle, uint8_t* buffer, int32_t count) {
    while (chunk < chunkCount && position >= chunkEnds[chunk]) {
        ++chunk;
    }
    if (chunk == chunkCount) {
        return 0;
    }
    size_t available = chunkEnds[chunk] - position;
    const size_t take = available < static_cast<size_t>(count) ? available : count;
    std::memcpy(buffer, source + position, take);
    position += take;
    return static_cast<int32_t>(take);
}

int32_t writeAll(OsHandle, const uint8_t*, int32_t count) {
    return count;
}
void purgePort(OsHandle) {}
void closePort(OsHandle) {}
void closeFile(OsHandle) {}
void describeError(int, char* out, size_t size) {
    std::snprintf(out, size, "memory");
}

}  // namespace platform
}  // namespace qorv
