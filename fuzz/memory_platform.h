#pragma once

#include <cstddef>
#include <cstdint>

namespace qorv {
namespace memory_platform {

// The next file opened reads `bytes`, delivered in chunks that end at the offsets `ends`
// (ascending; the last is the input's length). Nothing is copied: the arrays must outlive it.
void load(const uint8_t* bytes, const size_t* ends, size_t count);

}  // namespace memory_platform
}  // namespace qorv
