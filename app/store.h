#pragma once

#include "channel/device_channel.h"
#include "protocol/store_layout.h"

namespace qorv {

// Message data that stores block (group, index) of the settings data.
void buildStoreMessage(const uint8_t* settings, int32_t group, int32_t index, uint8_t* message);

class RunReport;

// Stores the settings file's data in the device on the open port; prints every step, and tells
// `report` what each step found.
bool runStore(DeviceChannel& portChannel, DeviceChannel& fileChannel, const char* fileArgument,
              const char* portArgument, RunReport& report);

}  // namespace qorv
