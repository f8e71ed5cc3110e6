// Win32 back end of DeviceChannel: serial ports and files through synchronous handle I/O.
#include <windows.h>

#include <cstdio>

#include "channel/platform.h"
#include "channel/win32_line.h"
#include "channel/win32_text.h"

namespace qorv {
namespace platform {

namespace {

HANDLE toHandle(OsHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// Keeps the first error of a port read or write, and clears the port's error state: with
// fAbortOnError set by another program, a line error would otherwise cancel every later call.
void keepFirst(HANDLE port, int* ioError, DWORD error) {
    if (*ioError == 0) {
        *ioError = static_cast<int>(error != 0 ? error : ERROR_GEN_FAILURE);
    }
    DWORD errors = 0;
    ClearCommError(port, &errors, nullptr);
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

int openPort(const char* deviceName, int32_t baudRate, int32_t inQueueSize, int32_t outQueueSize,
             OsHandle* handle) {
    HANDLE port = CreateFileA(deviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
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
        CloseHandle(port);
        return static_cast<int>(ERROR_TIMEOUTS_REFUSED);
    }
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

int32_t readPort(OsHandle handle, uint8_t* buffer, int32_t count, int* ioError) {
    // Read once: the counter's frequency is fixed at boot.
    static const LONGLONG countsPerSecond = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return frequency.QuadPart;
    }();
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    DWORD got = 0;
    if (!ReadFile(toHandle(handle), buffer, static_cast<DWORD>(count), &got, nullptr)) {
        keepFirst(toHandle(handle), ioError, GetLastError());
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
    DWORD put = 0;
    BOOL done = WriteFile(toHandle(handle), buffer, static_cast<DWORD>(count), &put, nullptr);
    if (!done && GetLastError() == ERROR_OPERATION_ABORTED) {
        // A line error with fAbortOnError (set by a driver despite the settings) cancels the
        // call until the error is cleared: cleared, the write is tried once more.
        DWORD errors = 0;
        ClearCommError(toHandle(handle), &errors, nullptr);
        done = WriteFile(toHandle(handle), buffer, static_cast<DWORD>(count), &put, nullptr);
    }
    if (!done) {
        keepFirst(toHandle(handle), ioError, GetLastError());
    } else if (put < static_cast<DWORD>(count)) {
        // A synchronous write returns short only when its write timeout has passed: the device
        // or the adapter has stopped taking data. Trying again would wait the whole timeout
        // anew for every byte left.
        keepFirst(toHandle(handle), ioError, ERROR_TIMEOUT);
    }
    return static_cast<int32_t>(put);
}

void purgePort(OsHandle handle) {
    PurgeComm(toHandle(handle), PURGE_TXCLEAR | PURGE_RXCLEAR);
}

int32_t queuedInput(OsHandle handle) {
    DWORD errors = 0;
    COMSTAT status{};
    // Some virtual ports fail the call (87) while nothing is wrong: the count is then unknown.
    if (!ClearCommError(toHandle(handle), &errors, &status)) {
        return -1;
    }
    return static_cast<int32_t>(status.cbInQue);
}

bool portHolder(const char*, char*, size_t, int*) {
    return false;
}

// Windows has no hang-up of its own: a line that went away fails with a system error.
bool isHangUp(int) {
    return false;
}

bool isWriteStall(int ioError) {
    return ioError == ERROR_TIMEOUT;
}

OpenProblem classifyOpenError(int osError) {
    switch (osError) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return OPEN_NOT_FOUND;
        // A port is opened without sharing: another program that has it open makes the open
        // fail as access denied.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return OPEN_BUSY;
        case ERROR_INVALID_PARAMETER:
            return OPEN_SETTINGS_REFUSED;
        case ERROR_TIMEOUTS_REFUSED:
            return OPEN_TIMEOUTS_REFUSED;
        // The driver did not answer (seen with some USB adapters), or reports the device as not
        // working.
        case ERROR_SEM_TIMEOUT:
        case ERROR_GEN_FAILURE:
            return OPEN_DRIVER_FAILED;
        default:
            return OPEN_OTHER;
    }
}

// A handle is not left marked when the process ends.
void releasePortOnSignal() {}

void closePort(OsHandle handle) {
    CloseHandle(toHandle(handle));
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
    if (static_cast<DWORD>(osError) == ERROR_TIMEOUTS_REFUSED) {
        std::snprintf(out, size, "the driver did not take the read time limits");
        return;
    }
    systemWording(static_cast<DWORD>(osError), out, size);
}

}  // namespace platform
}  // namespace qorv
