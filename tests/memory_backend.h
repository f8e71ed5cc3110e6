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
    virtual int64_t nowUs() { return int64_t{nowMs()} * 1000; }
    // Up to `count` bytes, as a port read gives them (waiting up to `waitUs` for the first one).
    virtual int32_t read(uint8_t* buffer, int32_t count, int32_t waitUs) = 0;
    virtual int32_t write(const uint8_t* bytes, int32_t count) = 0;
    // Lets `ms` of simulated time pass.
    virtual void sleep(int32_t ms) = 0;
    // What the port counts as received and not read.
    virtual int32_t queued() { return 0; }
    virtual void purge() {}
    // The settings file; by default the file itself.
    virtual int openFile(const char* path, OsHandle* handle);
    virtual int32_t readFile(OsHandle handle, uint8_t* buffer, int32_t count);
    virtual void closeFile(OsHandle handle);

    // A device server's socket on this line, for a port argument that names one: by default
    // there is no server.
    virtual int connect() { return 111; }
    // As the platform's sendSome and receiveBytes (channel/net.h).
    virtual int32_t sendSome(const uint8_t*, int32_t, int32_t) { return -1; }
    virtual int32_t receive(uint8_t*, int32_t, int32_t /*waitUs*/) { return -1; }
};

// The line that every channel opened from now on is on.
void use(Line* line);

}  // namespace memory_backend
}  // namespace qorv
