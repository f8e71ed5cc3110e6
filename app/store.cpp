#include "app/store.h"

#include <cstring>

#include "report/diagnosis.h"
#include "report/messages.h"
#include "report/run_record.h"

namespace qorv {

void buildStoreMessage(const uint8_t* settings, int32_t group, int32_t index, uint8_t* message) {
    message[0] = 0x00;
    message[1] = static_cast<uint8_t>(group);
    message[2] = static_cast<uint8_t>(index);
    const size_t offset = static_cast<size_t>(group * BLOCKS_PER_GROUP + index) * STORE_BLOCK_SIZE;
    std::memcpy(message + 3, settings + offset, STORE_BLOCK_SIZE);
}

namespace {

// Times the exchanges of a store for the run record, and tells it what failed.
class Progress {
  public:
    explicit Progress(RunRecord* record) : record(record) {}

    void begin() { startedAt = DeviceChannel::nowMs(); }
    void timed(const char* step, int32_t block = 0) {
        if (record != nullptr) {
            record->exchangeTimed(step, block, DeviceChannel::nowMs() - startedAt);
        }
    }
    void exchangeFailed(const char* step, const DeviceChannel& port, int32_t block = 0) {
        if (record != nullptr) {
            record->exchangeFailed(step, block, port);
        }
    }
    void failed(const char* step, const char* cause, const DeviceChannel& channel) {
        if (record != nullptr) {
            record->failed(step, 0, cause, channel);
        }
    }
    RunRecord* record;

  private:
    int32_t startedAt = 0;
};

bool probe(DeviceChannel& port, const char* portArgument, Progress& progress) {
    progress.begin();
    const ResultCode answered = port.sendCommand(MID_PROBE, 0, 0, BID_DEFAULT);
    progress.timed("probe");
    if (answered == RESULT_OK) {
        return true;
    }
    say("No Pelorix detected on COM %s\n", portArgument);
    explainExchange(port, stepNamed("probe"));
    progress.exchangeFailed("probe", port);
    if (port.lastResult == RESULT_NO_REPLY && port.ioError() == 0) {
        if (port.bytesSinceRequest() > 0) {
            tell(
                "bytes come but none forms a frame: check that the baud rate is the device's "
                "(115200 unless given) and that nothing else sends on this line");
        } else {
            tell(
                "check that the device is powered, that its cable is on this port, and the baud "
                "rate");
        }
    }
    return false;
}

// The cause of a settings file without usable data, for the run record.
const char* settingsCause(const DeviceChannel& file, ResultCode found) {
    if (found == RESULT_OK) {
        return "short_settings";
    }
    return settingsFrameCutOff(file) ? "cut_off" : "no_settings_frame";
}

}  // namespace

bool runStore(DeviceChannel& portChannel, DeviceChannel& fileChannel, const char* fileArgument,
              const char* portArgument, RunRecord* record) {
    Progress progress(record);
    if (!probe(portChannel, portArgument, progress)) {
        return false;
    }

    say("Opening Qorv file: %s...", fileArgument);
    if (fileChannel.openFile(fileArgument) != RESULT_OK) {
        say("ERROR: Can not open file %s\n", fileArgument);
        explainOpenFailure(fileChannel);
        progress.failed("open_file", "open_failed", fileChannel);
        return false;
    }
    say("done\n\n");

    say("Reading Qorv data from file...");
    uint8_t settings[MAX_DATA_LENGTH];
    uint16_t settingsLength = 0;
    // A data frame shorter than the sixteen blocks cannot be stored: no byte is sent that did not
    // come from the file.
    const ResultCode found =
        fileChannel.waitForMessage(MID_QORV_DATA, settings, &settingsLength, nullptr);
    if (found == RESULT_OK && record != nullptr) {
        record->settingsRead(
            settings, settingsLength < SETTINGS_DATA_SIZE ? settingsLength : SETTINGS_DATA_SIZE);
    }
    if (found != RESULT_OK || settingsLength < SETTINGS_DATA_SIZE) {
        say("ERROR: file does not contain valid Qorv data\n");
        explainSettings(fileChannel, fileArgument, found, settingsLength, SETTINGS_DATA_SIZE);
        progress.failed("read_settings", settingsCause(fileChannel, found), fileChannel);
        fileChannel.close();
        portChannel.close();
        return false;
    }
    say("done\n\n");

    uint8_t identity[MAX_DATA_LENGTH];
    uint16_t identityLength = 0;
    progress.begin();
    const ResultCode identified =
        portChannel.requestData(MID_REQ_IDENTITY, identity, &identityLength, BID_DEFAULT);
    progress.timed("identity");
    if (identified == RESULT_OK && record != nullptr) {
        record->identityRead(identity, identityLength);
    }
    if (identified != RESULT_OK || identityLength < sizeof EXPECTED_IDENTITY ||
        std::memcmp(identity, EXPECTED_IDENTITY, sizeof EXPECTED_IDENTITY) != 0) {
        say("ERROR: This program can only be used with Norb 00300360\n");
        explainIdentity(portChannel, identified, identity, identityLength, EXPECTED_IDENTITY);
        if (identified != RESULT_OK) {
            progress.exchangeFailed("identity", portChannel);
        } else {
            progress.failed(
                "identity",
                identityLength < sizeof EXPECTED_IDENTITY ? "short_identity" : "wrong_identity",
                portChannel);
        }
        return false;
    }

    say("Writing Qorv data to Pelorix...\n\n");
    for (int32_t group = 0; group < STORE_GROUPS; ++group) {
        for (int32_t index = 0; index < BLOCKS_PER_GROUP; ++index) {
            const int32_t block = group * BLOCKS_PER_GROUP + index;
            uint8_t message[STORE_MESSAGE_SIZE];
            buildStoreMessage(settings, group, index, message);
            progress.begin();
            const ResultCode stored =
                portChannel.sendMessage(MID_STORE_BLOCK, message, STORE_MESSAGE_SIZE, BID_DEFAULT);
            progress.timed("block", block + 1);
            if (stored != RESULT_OK) {
                say("Qorv data NOT stored successfully.\n\n");
                explainBlockFailure(portChannel, block);
                progress.exchangeFailed("block", portChannel, block + 1);
                return false;
            }
            // From here on the device holds blocks of this store: a refusal that comes at any
            // time, also one that is no answer to the request in progress, refused one of them.
            portChannel.strayRefusalsFail = true;
        }
    }
    // The device may not acknowledge the end of the sequence, and the data is stored either
    // way; but a device that refuses it, or that refused a block in words that came late, has
    // not stored the data.
    progress.begin();
    const ResultCode ended = portChannel.sendCommand(MID_FINISH, 0, 0, BID_DEFAULT);
    progress.timed("finish");
    if (ended == RESULT_DEVICE_ERROR || portChannel.examineBytesInHand() != RESULT_OK) {
        say("Qorv data NOT stored successfully.\n\n");
        explainBlockFailure(portChannel, STORE_BLOCKS);
        progress.exchangeFailed("finish", portChannel);
        return false;
    }
    if (ended != RESULT_OK) {
        warnEndUnacknowledged(portChannel);
    }

    say("Qorv data stored successfully.\n\n");
    fileChannel.close();
    portChannel.close();
    return true;
}

}  // namespace qorv
