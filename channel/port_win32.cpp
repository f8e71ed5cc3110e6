// Win32 back end of DeviceChannel: serial ports through overlapped handle I/O, each call waited
// for with a bound (a driver may never complete one), and files through synchronous I/O.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "channel/net_port.h"
#include "channel/platform.h"
#include "channel/win32_line.h"
#include "channel/win32_text.h"

namespace qorv {
namespace platform {

namespace {

HANDLE toHandle(OsHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

bool takeLineErrors(HANDLE port, COMSTAT* status);

// Keeps the first error of a port read or write, and clears the port's error state: with
// fAbortOnError set by another program, a line error would otherwise cancel every later call.
void keepFirst(HANDLE port, int* ioError, DWORD error) {
    if (*ioError == 0) {
        *ioError = static_cast<int>(error != 0 ? error : ERROR_GEN_FAILURE);
    }
    takeLineErrors(port, nullptr);
}

// What an open port needs for its calls in flight. The buffer and the OVERLAPPED belong to the
// call until the driver ends it; a call the driver never ends keeps them for good, and the port
// is not used again. A fixed set: no allocation, and a slot left to a stuck call is never reused.
struct PortCalls {
    HANDLE port = nullptr;
    HANDLE done = nullptr;  // event, set when the call in flight has ended
    OVERLAPPED overlapped{};
    uint8_t buffer[2048];
    bool stuck = false;
    // Windows reports line errors as flags that a ClearCommError call takes: each call that
    // finds one counts it once.
    LineErrors errors;
};
PortCalls slots[8];

// The slot of an open port; with null, a free one (never one a stuck call holds).
PortCalls* callsOf(HANDLE port) {
    for (PortCalls& slot : slots) {
        if (slot.port == port && (port != nullptr || !slot.stuck)) {
            return &slot;
        }
    }
    return nullptr;
}

// Clears the port's error state, counting the line errors it held; false when the call fails.
bool takeLineErrors(HANDLE port, COMSTAT* status) {
    DWORD errors = 0;
    if (!ClearCommError(port, &errors, status)) {
        return false;
    }
    PortCalls* calls = callsOf(port);
    if (calls != nullptr) {
        calls->errors.framing += (errors & CE_FRAME) != 0 ? 1 : 0;
        calls->errors.overrun += (errors & (CE_OVERRUN | CE_RXOVER)) != 0 ? 1 : 0;
        calls->errors.parity += (errors & CE_RXPARITY) != 0 ? 1 : 0;
        calls->errors.breaks += (errors & CE_BREAK) != 0 ? 1 : 0;
    }
    return true;
}

// Starts a read (`writing` false) or a write of `count` bytes of the slot's buffer and waits for
// it to end, at most `boundMs`; then cancels it and waits at most CANCEL_BOUND_MS more. Gives
// the bytes moved; a call that did not end leaves ERROR_DRIVER_STOPPED in *ioError.
DWORD callBounded(PortCalls& calls, bool writing, DWORD count, DWORD boundMs, int* ioError) {
    if (calls.stuck) {
        keepFirst(calls.port, ioError, ERROR_DRIVER_STOPPED);
        return 0;
    }
    ZeroMemory(&calls.overlapped, sizeof calls.overlapped);
    calls.overlapped.hEvent = calls.done;
    ResetEvent(calls.done);
    const BOOL started =
        writing ? WriteFile(calls.port, calls.buffer, count, nullptr, &calls.overlapped)
                : ReadFile(calls.port, calls.buffer, count, nullptr, &calls.overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        keepFirst(calls.port, ioError, GetLastError());
        return 0;
    }
    // A driver that ignores the read time limits (or the write's) holds the call until data
    // comes: cancelled, it ends with what it has. One that does not end even then is stuck.
    const bool cancelled = !started && WaitForSingleObject(calls.done, boundMs) != WAIT_OBJECT_0;
    if (cancelled) {
        CancelIoEx(calls.port, &calls.overlapped);
    }
    if (cancelled && WaitForSingleObject(calls.done, CANCEL_BOUND_MS) != WAIT_OBJECT_0) {
        calls.stuck = true;
        keepFirst(calls.port, ioError, ERROR_DRIVER_STOPPED);
        return 0;
    }
    DWORD moved = 0;
    if (!GetOverlappedResult(calls.port, &calls.overlapped, &moved, FALSE) &&
        !(cancelled && GetLastError() == ERROR_OPERATION_ABORTED)) {
        keepFirst(calls.port, ioError, GetLastError());
    }
    return moved;
}

}  // namespace

void applyLineSettings(DCB* dcb, int32_t baudRate, bool twoStopBits) {
    dcb->BaudRate = static_cast<DWORD>(baudRate);
    // The flag bits 0x34C: no CTS or DSR output flow control, no DSR sensitivity, no XON/XOFF in
    // either direction.
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDsrSensitivity = FALSE;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    // Left by other programs, these lose or change bytes: fNull drops every 0x00 (the length
    // byte of every acknowledgement), fErrorChar replaces bytes, fAbortOnError cancels every
    // read and write after one line error, a handshaking fRtsControl does not hold RTS up.
    dcb->fBinary = TRUE;
    dcb->fParity = FALSE;
    dcb->fNull = FALSE;
    dcb->fErrorChar = FALSE;
    dcb->fAbortOnError = FALSE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    if (dcb->XonChar == dcb->XoffChar) {
        dcb->XonChar = 0x11;
        dcb->XoffChar = 0x13;
        dcb->XonLim = 2048;
        dcb->XoffLim = 512;
    }
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = twoStopBits ? TWOSTOPBITS : ONESTOPBIT;
}

void applyTimeouts(COMMTIMEOUTS* timeouts, int32_t baudRate, bool twoStopBits) {
    // MAXDWORD, MAXDWORD, 1: a read returns at once with what has arrived and, when nothing has,
    // waits about 1 ms for the first byte.
    timeouts->ReadIntervalTimeout = MAXDWORD;
    timeouts->ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts->ReadTotalTimeoutConstant = 1;
    // Start bit, 8 data bits, stop bits.
    const int64_t bitsPerByte = twoStopBits ? 11 : 10;
    const int64_t rate = baudRate > 0 ? baudRate : 1;
    const int64_t byteMs = (bitsPerByte * 1000 + rate - 1) / rate;
    timeouts->WriteTotalTimeoutMultiplier = static_cast<DWORD>(byteMs + 1);
    timeouts->WriteTotalTimeoutConstant = 500;
}

void portDeviceName(int32_t portNumber, char* out, size_t size) {
    // The \\.\ form is the only one that reaches ports from COM10 up.
    std::snprintf(out, size, "\\\\.\\COM%d", static_cast<int>(portNumber));
}

namespace {

// Opens the port, trying again for a while when it is refused as in use or its driver did not
// respond (each try may itself block: a Bluetooth link that is out of range takes seconds).
HANDLE openDevice(const char* deviceName) {
    const DWORD start = GetTickCount();
    for (;;) {
        HANDLE port = CreateFileA(deviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        const DWORD error = GetLastError();
        if (port != INVALID_HANDLE_VALUE ||
            (error != ERROR_ACCESS_DENIED && error != ERROR_SEM_TIMEOUT) ||
            GetTickCount() - start + OPEN_RETRY_PAUSE_MS > OPEN_RETRY_MS) {
            SetLastError(error);
            return port;
        }
        Sleep(OPEN_RETRY_PAUSE_MS);
    }
}

}  // namespace

int openPort(const char* deviceName, int32_t baudRate, int32_t inQueueSize, int32_t outQueueSize,
             OsHandle* handle, OpenCall* failedCall) {
    *failedCall = CALL_OPEN;
    if (isNetworkName(deviceName)) {
        Socket socket = -1;
        const int error = openNetworkPort(deviceName, baudRate, &socket);
        *handle = static_cast<OsHandle>(socket);
        return error;
    }
    PortCalls* calls = callsOf(nullptr);
    if (calls == nullptr) {
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    HANDLE port = openDevice(deviceName);
    if (port == INVALID_HANDLE_VALUE) {
        return static_cast<int>(GetLastError());
    }
    // An error state left by another program (with fAbortOnError, every call would fail with
    // 995 until it is cleared).
    DWORD errors = 0;
    ClearCommError(port, &errors, nullptr);
    // A driver that does not report its settings leaves a zeroed DCB, which applyLineSettings
    // completes.
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        ZeroMemory(&dcb, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
    }
    bool twoStopBits = true;
    applyLineSettings(&dcb, baudRate, twoStopBits);
    if (!SetCommState(port, &dcb)) {
        // Some drivers refuse two stop bits at 8N; one stop bit is the fallback.
        twoStopBits = false;
        dcb.StopBits = ONESTOPBIT;
        if (!SetCommState(port, &dcb)) {
            const int error = static_cast<int>(GetLastError());
            CloseHandle(port);
            *failedCall = CALL_LINE_SETTINGS;
            return error != 0 ? error : ERROR_INVALID_PARAMETER;
        }
    }
    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof timeouts);
    GetCommTimeouts(port, &timeouts);
    applyTimeouts(&timeouts, baudRate, twoStopBits);
    // Without its read timeouts (and with all-zero ones inherited) a read waits until data comes,
    // so no time limit would ever run: such a port is not used.
    if (!SetCommTimeouts(port, &timeouts)) {
        const int error = static_cast<int>(GetLastError());
        CloseHandle(port);
        *failedCall = CALL_TIMEOUTS;
        return error != 0 ? error : ERROR_INVALID_PARAMETER;
    }
    calls->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (calls->done == nullptr) {
        const int error = static_cast<int>(GetLastError());
        CloseHandle(port);
        return error;
    }
    calls->port = port;
    calls->stuck = false;
    EscapeCommFunction(port, SETRTS);
    EscapeCommFunction(port, SETDTR);
    SetupComm(port, static_cast<DWORD>(inQueueSize), static_cast<DWORD>(outQueueSize));
    PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
    *handle = reinterpret_cast<OsHandle>(port);
    return 0;
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

namespace {

// A device server's connection: what has come within about 1 ms, its Telnet taken out.
int32_t readNetwork(Socket socket, uint8_t* buffer, int32_t count, int* ioError) {
    const int32_t got = receiveBytes(socket, buffer, static_cast<size_t>(count), 1);
    if (got > 0) {
        return takeTelnet(socket, buffer, got);
    }
    if (got < 0) {
        // The server closed the connection: a hang-up. Returning at once, so a pause.
        if (*ioError == 0) {
            *ioError = ERROR_BROKEN_PIPE;
        }
        Sleep(1);
    }
    return 0;
}

// Sends all; a connection that has gone away shows at the next read.
int32_t sendAll(Socket socket, const uint8_t* bytes, int32_t count, int*) {
    sendBytes(socket, bytes, static_cast<size_t>(count));
    return count;
}

}  // namespace

int32_t readPort(OsHandle handle, uint8_t* buffer, int32_t count, int* ioError) {
    if (isNetworkPort(handle)) {
        return readNetwork(handle, buffer, count, ioError);
    }
    // Read once: the counter's frequency is fixed at boot.
    static const LONGLONG countsPerSecond = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return frequency.QuadPart;
    }();
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    PortCalls& calls = *callsOf(toHandle(handle));
    const DWORD wanted = static_cast<DWORD>(count) < sizeof calls.buffer
                             ? static_cast<DWORD>(count)
                             : static_cast<DWORD>(sizeof calls.buffer);
    const DWORD got = callBounded(calls, false, wanted, READ_BOUND_MS, ioError);
    std::memcpy(buffer, calls.buffer, got);
    if (got > 0) {
        // Line errors come with the bytes they spoiled.
        takeLineErrors(calls.port, nullptr);
    }
    if (got == 0) {
        // A read on a line that has gone away (a USB adapter pulled out, a hung-up line) returns
        // at once, failed or empty, instead of after the 1 ms timeout; sleeping keeps the
        // caller's wait loop from spinning until its time limit.
        QueryPerformanceCounter(&end);
        if ((end.QuadPart - start.QuadPart) * 2000 < countsPerSecond) {
            Sleep(1);
        }
    }
    return static_cast<int32_t>(got);
}

int32_t readFile(OsHandle handle, uint8_t* buffer, int32_t count) {
    DWORD got = 0;
    if (!ReadFile(toHandle(handle), buffer, static_cast<DWORD>(count), &got, nullptr)) {
        return -1;
    }
    return static_cast<int32_t>(got);
}

int32_t writeAll(OsHandle handle, const uint8_t* buffer, int32_t count, int* ioError) {
    if (isNetworkPort(handle)) {
        return writeNetwork(handle, buffer, count, &sendAll, ioError);
    }
    PortCalls& calls = *callsOf(toHandle(handle));
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(calls.port, &timeouts);
    int32_t written = 0;
    while (written < count && *ioError == 0) {
        const DWORD part = static_cast<DWORD>(count - written) < sizeof calls.buffer
                               ? static_cast<DWORD>(count - written)
                               : static_cast<DWORD>(sizeof calls.buffer);
        std::memcpy(calls.buffer, buffer + written, part);
        // The write's own time limit first: a write that stalls ends short within it.
        const DWORD limit = timeouts.WriteTotalTimeoutConstant +
                            timeouts.WriteTotalTimeoutMultiplier * part + CANCEL_BOUND_MS;
        DWORD put = callBounded(calls, true, part, limit, ioError);
        if (put == 0 && *ioError == ERROR_OPERATION_ABORTED) {
            // A line error with fAbortOnError (set by a driver despite the settings) cancels the
            // call until the error is cleared (keepFirst did): the write is tried once more.
            *ioError = 0;
            put = callBounded(calls, true, part, limit, ioError);
        }
        written += static_cast<int32_t>(put);
        if (put < part && *ioError == 0) {
            // A write returns short only when its time limit has passed: the device or the
            // adapter has stopped taking data. Trying again would wait the whole limit anew.
            keepFirst(calls.port, ioError, ERROR_TIMEOUT);
        }
    }
    return written;
}

void purgePort(OsHandle handle) {
    if (isNetworkPort(handle)) {
        purgeServer(handle);
        return;
    }
    PurgeComm(toHandle(handle), PURGE_TXCLEAR | PURGE_RXCLEAR);
}

int32_t queuedInput(OsHandle handle) {
    if (isNetworkPort(handle)) {
        return 0;  // not counted: a count of nothing falls short, never over
    }
    COMSTAT status{};
    // Some virtual ports fail the call (87) while nothing is wrong: the count is then unknown.
    if (!takeLineErrors(toHandle(handle), &status)) {
        return -1;
    }
    return static_cast<int32_t>(status.cbInQue);
}

bool lineErrors(OsHandle handle, LineErrors* counted) {
    PortCalls* calls = callsOf(toHandle(handle));
    if (calls == nullptr) {
        return false;
    }
    takeLineErrors(calls->port, nullptr);
    *counted = calls->errors;
    return true;
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
    switch (osError) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return OPEN_NOT_FOUND;
        case ERROR_NAME_NOT_RESOLVED:
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

void closePort(OsHandle handle) {
    if (isNetworkPort(handle)) {
        closeNetworkPort(handle);
        return;
    }
    PortCalls* calls = callsOf(toHandle(handle));
    CloseHandle(toHandle(handle));
    if (calls == nullptr) {
        return;
    }
    if (calls->stuck) {
        // The call's buffer and event stay the driver's; the slot is never used again.
        calls->port = nullptr;
        return;
    }
    CloseHandle(calls->done);
    *calls = PortCalls{};
}

void closeFile(OsHandle handle) {
    CloseHandle(toHandle(handle));
}

void describeError(int osError, char* out, size_t size) {
    // Windows words 222 as a blocked file type; here it is a device named as the settings file.
    if (osError == ERROR_BAD_FILE_TYPE) {
        std::snprintf(out, size, "not a disk file");
        return;
    }
    if (osError == ERROR_NAME_NOT_RESOLVED || osError == ERROR_BAD_ADDRESS) {
        std::snprintf(out, size, "%s",
                      osError == ERROR_NAME_NOT_RESOLVED
                          ? "the name does not resolve"
                          : "not a device server's address (HOST:PORT)");
        return;
    }
    if (static_cast<DWORD>(osError) == ERROR_DRIVER_STOPPED) {
        std::snprintf(out, size, "the port's driver did not end a read or write, even cancelled");
        return;
    }
    systemWording(static_cast<DWORD>(osError), out, size);
}

}  // namespace platform
}  // namespace qorv
