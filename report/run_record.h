// The run record: with QORV_REPORT set to a file, one JSON object per run is appended to it, one
// line each (JSON Lines), written once when the run ends, also when it fails. The fields are a
// stable format, described in docs/run-record.md. The file is opened under the wire trace's rules
// and written with one call, so that runs appending to one file at once give whole lines.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "channel/device_channel.h"
#include "channel/ports.h"
#include "protocol/store_layout.h"
#include "report/output_file.h"

namespace qorv {

// `text` as a JSON string, with U+FFFD for bytes that are no UTF-8 (`exact` then false).
std::string jsonString(const std::string& text, bool* exact);
// Text from outside (a device's strings, a port or file name) as a terminal may show it: control
// characters (C0, DEL, C1) and bytes that are no UTF-8 written out as \xNN or \uNNNN.
std::string visibleText(const std::string& text);

class RunRecord {
  public:
    // Opens the record file if QORV_REPORT names one, never the settings file or the port; a
    // file refused or not opened is said on standard error and changes nothing else.
    void start(const char* portArgument, const char* portDevice, int32_t baudRate,
               const char* settingsArgument);
    void portOpened(const DeviceChannel& port);
    // The settings bytes that are (or would be) sent, and no more.
    void settingsRead(const uint8_t* data, int32_t length);
    void identityRead(const uint8_t* identity, uint16_t length);
    // How long one exchange took; `block` 1-16 for a store block, 0 otherwise. `step` is a
    // keyword that lives as long as the program. Called from within the port's exchanges, so it
    // does not allocate.
    void exchangeTimed(const char* step, int32_t block, int32_t milliseconds);
    // The step that failed, its block (1-16, or 0), and why as a stable keyword; the device's
    // refusal code and the system's error are taken from `channel`.
    void failed(const char* step, int32_t block, const char* cause, const DeviceChannel& channel);
    // Writes the record; the run's exit status.
    void finish(int exitStatus);

  private:
    struct Exchange {
        const char* step;
        int32_t block;
        int32_t milliseconds;
    };
    // A store's exchanges: the probe, the identity, the blocks and the end.
    static constexpr size_t MAX_EXCHANGES = STORE_BLOCKS + 3;

    OwnedFile out;
    std::string path;
    std::string time;
    std::string batch;
    long arrival = 0;
    std::string port;
    std::string device;
    int32_t baud = 0;
    std::string settingsFile;
    std::string settingsSha256;
    std::string identity;
    std::string step;
    int32_t block = 0;
    std::string cause;
    bool hasDeviceError = false;
    uint16_t deviceError = 0;
    int osError = 0;
    // The opened port as the system lists it, when it does.
    bool hasAdapter = false;
    PortPresent adapter;
    bool hasLineErrors = false;
    LineErrors lineErrors;
    std::array<Exchange, MAX_EXCHANGES> exchanges{};
    size_t exchangeCount = 0;
};

}  // namespace qorv
