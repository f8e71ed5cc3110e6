// The operating-system side of DeviceChannel. Exactly one back end (port_posix.cpp or
// port_win32.cpp) is compiled in; the shared logic in device_channel.cpp calls only these.
#pragma once

#include <cstddef>
#include <cstdint>

#include "channel/os_handle.h"

namespace qorv {
namespace platform {

// Device name of serial port number n.
void portDeviceName(int32_t portNumber, char* out, size_t size);

// Each open returns 0 on success, or the operating system's error code; a port's open also says
// which of its calls failed.
int openPort(const char* deviceName, int32_t baudRate, int32_t inQueueSize, int32_t outQueueSize,
             OsHandle* handle, OpenCall* failedCall);
// Opens an existing file for reading only; it is never created or written.
int openFile(const char* path, OsHandle* handle);

// Returns the bytes already received, up to count, waiting about 1 ms for the first one. A
// failed read, or a line that hung up, leaves its error code in *ioError unless one is there.
int32_t readPort(OsHandle handle, uint8_t* buffer, int32_t count, int* ioError);
// Returns the bytes read, 0 at the end of the file; a failed read returns -1.
int32_t readFile(OsHandle handle, uint8_t* buffer, int32_t count);
// Writes all bytes unless an error occurs; returns the number written. A write that fails or
// stalls leaves its error code in *ioError unless one is there.
int32_t writeAll(OsHandle handle, const uint8_t* buffer, int32_t count, int* ioError);

void purgePort(OsHandle handle);
// The line errors the port's driver has counted since the port was opened; false when it does
// not count them (a pseudo-terminal does not).
bool lineErrors(OsHandle handle, LineErrors* counted);
// Whether an error code is the system's own (errno, GetLastError), not one this back end made.
bool isSystemError(int code);
// How many bytes the port has received that nobody has read yet, -1 when it cannot tell. Never
// more than there are, often fewer: a tty counts only its read buffer (at most 4095 bytes), not
// what waits in the driver behind it.
int32_t queuedInput(OsHandle handle);
void closePort(OsHandle handle);
void closeFile(OsHandle handle);

// A program other than this one that has the device open (its name and pid, either may be
// null); false when there is none or the system cannot tell.
bool portHolder(const char* deviceName, char* name, size_t size, int* pid);

void describeError(int osError, char* out, size_t size);
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
// exclusive mark of a tty). Called by a handler of a signal that ends the process.
void releasePortOnSignal();

}  // namespace platform
}  // namespace qorv
