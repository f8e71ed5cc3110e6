#include "app/store.h"

#include <cstring>

#include "app/messages.h"

namespace qorv {

void buildStoreMessage(const uint8_t* settings, int32_t group, int32_t index, uint8_t* message) {
    message[0] = 0x00;
    message[1] = static_cast<uint8_t>(group);
    message[2] = static_cast<uint8_t>(index);
    const size_t offset = static_cast<size_t>(group * BLOCKS_PER_GROUP + index) * STORE_BLOCK_SIZE;
    std::memcpy(message + 3, settings + offset, STORE_BLOCK_SIZE);
}

bool runStore(DeviceChannel& portChannel, DeviceChannel& fileChannel, const char* fileArgument,
              const char* portArgument) {
    if (portChannel.sendCommand(MID_PROBE, 0, 0, BID_DEFAULT) != RESULT_OK) {
        say("No Pelorix detected on COM %s\n", portArgument);
        return false;
    }

    say("Opening Qorv file: %s...", fileArgument);
    if (fileChannel.openFile(fileArgument) != RESULT_OK) {
        say("ERROR: Can not open file %s\n", fileArgument);
        explainOpenFailure(fileChannel);
        return false;
    }
    say("done\n\n");

    say("Reading Qorv data from file...");
    uint8_t settings[MAX_DATA_LENGTH];
    uint16_t settingsLength = 0;
    // A data frame shorter than the sixteen blocks cannot be stored: no byte is sent that did not
    // come from the file.
    if (fileChannel.waitForMessage(MID_QORV_DATA, settings, &settingsLength, nullptr) !=
            RESULT_OK ||
        settingsLength < SETTINGS_DATA_SIZE) {
        say("ERROR: file does not contain valid Qorv data\n");
        fileChannel.close();
        portChannel.close();
        return false;
    }
    say("done\n\n");

    uint8_t identity[MAX_DATA_LENGTH];
    uint16_t identityLength = 0;
    if (portChannel.requestData(MID_REQ_IDENTITY, identity, &identityLength, BID_DEFAULT) !=
            RESULT_OK ||
        identityLength < sizeof EXPECTED_IDENTITY ||
        std::memcmp(identity, EXPECTED_IDENTITY, sizeof EXPECTED_IDENTITY) != 0) {
        say("ERROR: This program can only be used with Norb 00300360\n");
        return false;
    }

    say("Writing Qorv data to Pelorix...\n\n");
    for (int32_t group = 0; group < STORE_GROUPS; ++group) {
        for (int32_t index = 0; index < BLOCKS_PER_GROUP; ++index) {
            uint8_t message[STORE_MESSAGE_SIZE];
            buildStoreMessage(settings, group, index, message);
            if (portChannel.sendMessage(MID_STORE_BLOCK, message, STORE_MESSAGE_SIZE,
                                        BID_DEFAULT) != RESULT_OK) {
                say("Qorv data NOT stored successfully.\n\n");
                return false;
            }
        }
    }
    // The device may not acknowledge the end of the sequence, and the data is stored either
    // way; but a device that refuses it has not stored the data.
    if (portChannel.sendCommand(MID_FINISH, 0, 0, BID_DEFAULT) == RESULT_DEVICE_ERROR) {
        say("Qorv data NOT stored successfully.\n\n");
        return false;
    }

    say("Qorv data stored successfully.\n\n");
    fileChannel.close();
    portChannel.close();
    return true;
}

}  // namespace qorv
