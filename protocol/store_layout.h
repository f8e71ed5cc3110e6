// How the settings data travels: the sixteen store blocks, and the identity the tool accepts.
#pragma once

#include <cstdint>

namespace qorv {

// The identity the tool accepts, compared with the first four bytes of the identity reply.
constexpr uint8_t EXPECTED_IDENTITY[4] = {0x00, 0x30, 0x03, 0x60};

constexpr int32_t STORE_BLOCK_SIZE = 66;
constexpr int32_t STORE_GROUPS = 4;
constexpr int32_t BLOCKS_PER_GROUP = 4;
constexpr int32_t STORE_BLOCKS = STORE_GROUPS * BLOCKS_PER_GROUP;
constexpr int32_t SETTINGS_DATA_SIZE = STORE_BLOCKS * STORE_BLOCK_SIZE;
// 0x00, group, index, then the block.
constexpr int32_t STORE_MESSAGE_SIZE = 3 + STORE_BLOCK_SIZE;

}  // namespace qorv
