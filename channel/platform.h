// The operating-system side of DeviceChannel. Exactly one back end (port_posix.cpp or
// port_win32.cpp) is compiled in; the shared logic in device_channel.cpp calls only these.
#pragma once

#include <cstddef>
#include <cstdint>

#include "channel/line.h"
#include "channel/os_handle.h"
#include "channel/port_spec.h"

namespace qorv {
namespace platform {

// Device name of serial port number n.
void portDeviceName(int32_t portNumber, char* out, size_t size);

// Opens the line `port` names (its device, or a device server, connecting no later than
// `untilMs`): 0 with the line made in `slot`, or the error code with what failed.
int openLine(const PortSpec& port, int32_t baudRate, int32_t inQueueSize, int32_t outQueueSize,
             int32_t untilMs, LineSlot* slot, Line** line, OpenFailure* failure);
// The tty or COM port alone (what openLine opens for a device).
int openTty(const char* deviceName, int32_t baudRate, int32_t inQueueSize, int32_t outQueueSize,
            LineSlot* slot, Line** line, OpenFailure* failure);
// Opens an existing file for reading only; it is never created or written.
int openFile(const char* path, OsHandle* handle);
// Returns the bytes read, 0 at the end of the file; a failed read returns -1.
int32_t readFile(OsHandle handle, uint8_t* buffer, int32_t count);
void closeFile(OsHandle handle);

// Whether an error code is the system's own (errno, GetLastError), not one this back end made.
bool isSystemError(int code);
// A program other than this one that has the device open (its name and pid, either may be
// null); false when there is none or the system cannot tell.
bool portHolder(const char* deviceName, char* name, size_t size, int* pid);

void describeError(int osError, char* out, size_t size);
// A failed open's reason, with what the failure says beyond its code.
void describeOpenError(int osError, const OpenFailure& failure, char* out, size_t size);
// Whether a read or write error code is the hang-up of the line itself, which says all there is.
bool isHangUp(int ioError);
// Whether it is a write that stalled: the device or the adapter stopped taking data.
bool isWriteStall(int ioError);
// Whether it is the driver that stopped: a read or write it was given never ended, even when
// cancelled.
bool isDriverStopped(int ioError);
// What kind of problem a failed open is, by the call that failed and its error code.
OpenProblem classifyOpenError(int osError, OpenCall call);
// The system's name of a call of the open other than opening the device itself (for the
// explanation), or null.
const char* openCallName(OpenCall call);

// Async-signal-safe: gives up what an open port holds beyond the life of the process (the
// exclusive mark of a tty, a driver's latency mode). Called by a handler of a signal that ends
// the process.
void releasePortOnSignal();

}  // namespace platform
}  // namespace qorv
