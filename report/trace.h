// The wire trace: with QORV_TRACE set to a file path (or "-" for standard error), every frame
// sent and received on the port, and every byte the reader dropped, one line each, with the
// milliseconds since start.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "channel/device_channel.h"

namespace qorv {

class WireTrace {
  public:
    WireTrace() = default;
    ~WireTrace();
    WireTrace(const WireTrace&) = delete;
    WireTrace& operator=(const WireTrace&) = delete;

    // Opens the trace if QORV_TRACE asks for one. The trace goes only to standard error ("-") or
    // a regular file, never to the settings file or the port device; a path refused or not
    // opened is said on standard error, and the run goes on without a trace.
    void start(const char* settingsPath, const char* portDevice);
    // An event of the port: frames and dropped bytes are traced, exchanges' ends are not.
    void onEvent(DeviceChannel::TraceEvent event, const uint8_t* bytes, int32_t count);

  private:
    void writeLine(int32_t ms, const char* direction, const uint8_t* bytes, size_t count);
    void flushDropped();

    std::FILE* out = nullptr;
    bool ownsFile = false;
    std::string path;
    // A write that failed, said once at the end.
    bool writeFailed = false;
    int writeError = 0;
    // Dropped bytes come one at a time; consecutive ones make one line.
    std::vector<uint8_t> dropped;
    int32_t droppedAt = 0;
};

}  // namespace qorv
