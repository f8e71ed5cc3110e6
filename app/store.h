#pragma once

#include "channel/device_channel.h"

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

// Message data that stores block (group, index) of the settings data.
void buildStoreMessage(const uint8_t* settings, int32_t group, int32_t index, uint8_t* message);

class RunRecord;

// Stores the settings file's data in the device on the open port; prints every step, and tells
// `record` (when given) what each step found.
bool runStore(DeviceChannel& portChannel, DeviceChannel& fileChannel, const char* fileArgument,
              const char* portArgument, RunRecord* record = nullptr);

}  // namespace qorv
