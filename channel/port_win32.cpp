// Win32 back end of DeviceChannel: its lines (a COM port, com_line_win32.cpp, or a device
// server), files through synchronous I/O, and what its error codes mean.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "channel/net.h"
#include "channel/platform.h"
#include "channel/server_line.h"
#include "channel/win32_line.h"
#include "channel/win32_text.h"

namespace qorv {
namespace platform {

namespace {

HANDLE toHandle(OsHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

void portDeviceName(int32_t portNumber, char* out, size_t size) {
    // The \\.\ form is the only one that reaches ports from COM10 up.
    std::snprintf(out, size, "\\\\.\\COM%d", static_cast<int>(portNumber));
}

int openLine(const PortSpec& port, int32_t baudRate, int32_t inQueueSize, int32_t outQueueSize,
             int32_t untilMs, LineSlot* slot, Line** line, OpenFailure* failure) {
    failure->call = CALL_OPEN;
    if (port.kind == PortKind::Server) {
        return openServerLine(port, baudRate, untilMs, slot, line);
    }
    return openTty(port.device, baudRate, inQueueSize, outQueueSize, slot, line, failure);
}

int openFile(const char* path, OsHandle* handle) {
    // Read only, and shared, so that a read-only file or one open in an editor can be used; a
    // missing file is never created.
    // The path is UTF-8 (the run takes its arguments as Unicode), opened with the wide API so
    // that any name Windows can hold is reached as typed, never a best-fit ANSI variant of it.
    static wchar_t widePath[32768];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, widePath,
                            static_cast<int>(sizeof widePath / sizeof widePath[0])) == 0) {
        return static_cast<int>(GetLastError());
    }
    HANDLE file = CreateFileW(widePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return static_cast<int>(GetLastError());
    }
    // Only a disk file comes to an end: a device name (COM1, CON, a pipe) could keep a read
    // without time limit waiting for ever.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return ERROR_BAD_FILE_TYPE;
    }
    *handle = reinterpret_cast<OsHandle>(file);
    return 0;
}

int32_t readFile(OsHandle handle, uint8_t* buffer, int32_t count) {
    DWORD got = 0;
    if (!ReadFile(toHandle(handle), buffer, static_cast<DWORD>(count), &got, nullptr)) {
        return -1;
    }
    return static_cast<int32_t>(got);
}

// This back end's own codes have the customer bit set.
bool isSystemError(int code) {
    return code != 0 && (static_cast<DWORD>(code) & 0x20000000) == 0;
}

bool portHolder(const char*, char*, size_t, int*) {
    return false;
}

// Windows has no hang-up of its own: a line that went away fails with a system error.
bool isHangUp(int) {
    return false;
}

// A write the driver fails as timed out (121: the in-box USB CDC driver and others), or that
// ended short within its time limit.
bool isWriteStall(int ioError) {
    return ioError == ERROR_TIMEOUT || ioError == ERROR_SEM_TIMEOUT;
}

bool isDriverStopped(int ioError) {
    return static_cast<DWORD>(ioError) == ERROR_DRIVER_STOPPED;
}

OpenProblem classifyOpenError(int osError, OpenCall call) {
    if (call == CALL_LINE_SETTINGS) {
        return OPEN_SETTINGS_REFUSED;
    }
    if (call == CALL_TIMEOUTS) {
        return OPEN_TIMEOUTS_REFUSED;
    }
    if (call == CALL_DRIVER_STUCK) {
        return OPEN_DRIVER_STUCK;
    }
    switch (osError) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return OPEN_NOT_FOUND;
        case ERROR_NAME_NOT_RESOLVED:
        case ERROR_NAME_TOO_SLOW:
        case ERROR_BAD_ADDRESS:
        case WSAECONNREFUSED:
        case WSAETIMEDOUT:
        case WSAEHOSTUNREACH:
        case WSAENETUNREACH:
            return OPEN_SERVER_UNREACHABLE;
        // A port is opened without sharing: another program that has it open makes the open
        // fail as access denied, and so does one that has just closed it, for a moment.
        case ERROR_ACCESS_DENIED:
            return OPEN_BUSY_OR_RECENT;
        case ERROR_SHARING_VIOLATION:
            return OPEN_BUSY;
        // The driver did not answer (seen with some USB adapters and Bluetooth links), or
        // reports the device as not working.
        case ERROR_SEM_TIMEOUT:
        case ERROR_GEN_FAILURE:
            return OPEN_DRIVER_FAILED;
        default:
            return OPEN_OTHER;
    }
}

const char* openCallName(OpenCall call) {
    return call == CALL_LINE_SETTINGS ? "SetCommState"
           : call == CALL_TIMEOUTS    ? "SetCommTimeouts"
                                      : nullptr;
}

// A handle is not left marked when the process ends.
void releasePortOnSignal() {}

void closeFile(OsHandle handle) {
    CloseHandle(toHandle(handle));
}

int connectionEndedError() {
    return ERROR_BROKEN_PIPE;
}

int sendStalledError() {
    return ERROR_TIMEOUT;
}

void describeOpenError(int osError, const OpenFailure&, char* out, size_t size) {
    describeError(osError, out, size);
}

void describeError(int osError, char* out, size_t size) {
    // Windows words 222 as a blocked file type; here it is a device named as the settings file.
    if (osError == ERROR_BAD_FILE_TYPE) {
        std::snprintf(out, size, "not a disk file");
        return;
    }
    const char* own = serverErrorText(osError);
    if (own != nullptr) {
        std::snprintf(out, size, "%s", own);
        return;
    }
    if (static_cast<DWORD>(osError) == ERROR_DRIVER_STOPPED) {
        std::snprintf(out, size, "the port's driver did not end a request it was given");
        return;
    }
    systemWording(static_cast<DWORD>(osError), out, size);
}

}  // namespace platform
}  // namespace qorv
