// The channel's operating-system side in memory, for what runs the channel thousands of times
// without a port: the fuzzer's chunked reader and the campaigns' simulated line. Each brings its
// own line and clock; names, errors and the rest of the back end are shared here.
#pragma once

#include <cstdint>

#include "channel/os_handle.h"

namespace qorv {
namespace memory_backend {

class Line {
  public:
    virtual ~Line() = default;
    virtual int32_t nowMs() = 0;
    // Up to `count` bytes, as a port read gives them (waiting about 1 ms for the first one).
    virtual int32_t read(uint8_t* buffer, int32_t count) = 0;
    virtual int32_t write(const uint8_t* bytes, int32_t count) = 0;
    // What the port counts as received and not read.
    virtual int32_t queued() { return 0; }
    virtual void purge() {}
    // The settings file; by default the file itself.
    virtual int openFile(const char* path, OsHandle* handle);
    virtual int32_t readFile(OsHandle handle, uint8_t* buffer, int32_t count);
    virtual void closeFile(OsHandle handle);
};

// The line that every channel opened from now on is on.
void use(Line* line);

}  // namespace memory_backend
}  // namespace qorv
