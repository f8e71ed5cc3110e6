#pragma once

#include <cstddef>
#include <cstdint>

namespace qorv {
namespace memory_platform {

// The next channel opened (a file or a port) reads `bytes`, delivered in chunks that end at the
// offsets `ends` (ascending; the last is the input's length). On a port, `gaps[i]` empty reads
// come before chunk i. Nothing is copied: the arrays must outlive the channel.
void load(const uint8_t* bytes, const size_t* ends, const uint8_t* gaps, size_t count);

// True once every byte has been read.
bool exhausted();

// The port's bytes arrive only once a request has been written: they answer it.
void holdUntilWritten();

}  // namespace memory_platform
}  // namespace qorv
