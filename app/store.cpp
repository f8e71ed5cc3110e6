#include "app/store.h"

#include <algorithm>
#include <cstring>

#include "report/messages.h"
#include "report/run_report.h"

namespace qorv {

void buildStoreMessage(const uint8_t* settings, int32_t group, int32_t index, uint8_t* message) {
    message[0] = 0x00;
    message[1] = static_cast<uint8_t>(group);
    message[2] = static_cast<uint8_t>(index);
    const size_t offset = static_cast<size_t>(group * BLOCKS_PER_GROUP + index) * STORE_BLOCK_SIZE;
    std::memcpy(message + 3, settings + offset, STORE_BLOCK_SIZE);
}

namespace {

// Reads the settings data out of the open file into `settings`; false, said and reported, when
// the file holds none that can be stored. A data frame shorter than the sixteen blocks cannot be
// stored: no byte is sent that did not come from the file.
bool readSettings(DeviceChannel& file, RunReport& report, uint8_t* settings) {
    uint16_t length = 0;
    const ResultCode found = file.waitForMessage(MID_QORV_DATA, settings, &length, nullptr);
    if (found == RESULT_OK) {
        report.settingsRead(settings, std::min<int32_t>(length, SETTINGS_DATA_SIZE));
    }
    if (found == RESULT_OK && length >= SETTINGS_DATA_SIZE) {
        return true;
    }
    say("ERROR: file does not contain valid Qorv data\n");
    report.failed({Step::ReadSettings, file, found, 0, settings, length});
    return false;
}

// Asks the device who it is; false, said and reported, unless it is the device this tool is for.
bool identityAccepted(DeviceChannel& port, RunReport& report) {
    uint8_t identity[MAX_DATA_LENGTH];
    uint16_t length = 0;
    const ResultCode identified =
        port.requestData(MID_REQ_IDENTITY, identity, &length, BID_DEFAULT);
    if (identified == RESULT_OK) {
        report.identityRead(identity, length);
    }
    if (identified == RESULT_OK && length >= sizeof EXPECTED_IDENTITY &&
        std::memcmp(identity, EXPECTED_IDENTITY, sizeof EXPECTED_IDENTITY) == 0) {
        return true;
    }
    say("ERROR: This program can only be used with Norb 00300360\n");
    report.failed({Step::Identity, port, identified, 0, identity, length});
    return false;
}

}  // namespace

bool runStore(DeviceChannel& port, DeviceChannel& file, const char* fileArgument,
              const char* portArgument, RunReport& report) {
    const ResultCode probed = port.sendCommand(MID_PROBE, 0, 0, BID_DEFAULT);
    if (probed != RESULT_OK) {
        say("No Pelorix detected on COM %s\n", portArgument);
        report.failed({Step::Probe, port, probed});
        return false;
    }

    say("Opening Qorv file: %s...", fileArgument);
    if (file.openFile(fileArgument) != RESULT_OK) {
        say("ERROR: Can not open file %s\n", fileArgument);
        report.failed({Step::OpenFile, file});
        return false;
    }
    say("done\n\n");

    say("Reading Qorv data from file...");
    uint8_t settings[MAX_DATA_LENGTH];
    if (!readSettings(file, report, settings)) {
        file.close();
        port.close();
        return false;
    }
    say("done\n\n");

    if (!identityAccepted(port, report)) {
        return false;
    }

    say("Writing Qorv data to Pelorix...\n\n");
    for (int32_t block = 1; block <= STORE_BLOCKS; ++block) {
        uint8_t message[STORE_MESSAGE_SIZE];
        buildStoreMessage(settings, (block - 1) / BLOCKS_PER_GROUP, (block - 1) % BLOCKS_PER_GROUP,
                          message);
        const ResultCode stored =
            port.sendMessage(MID_STORE_BLOCK, message, STORE_MESSAGE_SIZE, BID_DEFAULT);
        if (stored != RESULT_OK) {
            say("Qorv data NOT stored successfully.\n\n");
            report.failed({Step::Block, port, stored, block});
            return false;
        }
        // From here on the device holds blocks of this store: a refusal that comes at any time,
        // also one that is no answer to the request in progress, refused one of them.
        port.strayRefusalsFail = true;
    }
    // The device may not acknowledge the end of the sequence, and the data is stored either
    // way; but a device that refuses it, or that refused a block in words that came late, has
    // not stored the data. Nor has one whose line kept sending so that the end could not be
    // sent, or that kept sending after it: a refusal may be in what is still to come.
    const ResultCode ended = port.sendCommand(MID_FINISH, 0, 0, BID_DEFAULT);
    if (ended == RESULT_DEVICE_ERROR || port.seen.lineNeverQuiet ||
        port.examineBytesInHand() != RESULT_OK || port.seen.lineNeverQuiet) {
        say("Qorv data NOT stored successfully.\n\n");
        report.failed({Step::Finish, port, ended});
        return false;
    }
    if (ended != RESULT_OK) {
        report.endUnacknowledged(port);
    }

    say("Qorv data stored successfully.\n\n");
    file.close();
    port.close();
    return true;
}

}  // namespace qorv
