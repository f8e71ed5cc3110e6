// A COM port as a line: overlapped handle I/O, each call waited for with a bound (a driver may
// never complete one).
#include <windows.h>

#include <cstring>
#include <new>

#include "channel/clock.h"
#include "channel/platform.h"
#include "channel/win32_line.h"

namespace qorv {
namespace platform {

namespace {

// What a call in flight needs: the buffer and the OVERLAPPED belong to it until the driver ends
// it. A call the driver never ends keeps them for good (the driver may still write into them),
// so they live here, not in the line, and a block left to a stuck call is never used again.
struct CallBlock {
    bool taken = false;
    HANDLE done = nullptr;  // event, set when the call in flight has ended
    OVERLAPPED overlapped{};
    uint8_t buffer[2048];
};
CallBlock callBlocks[8];

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

namespace {

// Opens the port, trying again for a while when it is refused as in use or its driver did not
// respond (each try may itself block: a Bluetooth link that is out of range takes seconds).
HANDLE openDevice(const char* deviceName) {
    const int32_t start = clock::nowMs();
    for (;;) {
        HANDLE port = CreateFileA(deviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        const DWORD error = GetLastError();
        if (port != INVALID_HANDLE_VALUE ||
            (error != ERROR_ACCESS_DENIED && error != ERROR_SEM_TIMEOUT) ||
            static_cast<DWORD>(clock::nowMs() - start) + OPEN_RETRY_PAUSE_MS > OPEN_RETRY_MS) {
            SetLastError(error);
            return port;
        }
        clock::sleepMs(OPEN_RETRY_PAUSE_MS);
    }
}

}  // namespace

namespace {

class ComLine final : public Line {
  public:
    ComLine(HANDLE port, CallBlock* calls) : port(port), calls(calls) {}

    ~ComLine() override {
        CloseHandle(port);
        if (stuck) {
            // The call's buffer and event stay the driver's; the block is never used again.
            return;
        }
        CloseHandle(calls->done);
        calls->done = nullptr;
        calls->taken = false;
    }

    // The driver's own read time limit is about 1 ms, whatever wait is asked for.
    int32_t read(uint8_t* buffer, int32_t count, int32_t waitUs) override {
        const int32_t waitMs = (waitUs + 999) / 1000;
        const int32_t started = clock::nowMs();
        const DWORD wanted = static_cast<DWORD>(count) < sizeof calls->buffer
                                 ? static_cast<DWORD>(count)
                                 : static_cast<DWORD>(sizeof calls->buffer);
        const DWORD got = callBounded(false, wanted, READ_BOUND_MS);
        std::memcpy(buffer, calls->buffer, got);
        if (got > 0) {
            // Line errors come with the bytes they spoiled.
            takeLineErrors(nullptr);
        } else if (waitMs > 0 && clock::nowMs() == started) {
            // A read on a line that has gone away (a USB adapter pulled out, a hung-up line)
            // returns at once, failed or empty, instead of after the 1 ms timeout; sleeping
            // keeps the caller's wait loop from spinning until its time limit.
            clock::sleepMs(waitMs);
        }
        return static_cast<int32_t>(got);
    }

    int32_t write(const uint8_t* bytes, int32_t count, int32_t untilMs) override {
        int32_t written = 0;
        while (written < count && ioError() == 0) {
            const DWORD part = static_cast<DWORD>(count - written) < sizeof calls->buffer
                                   ? static_cast<DWORD>(count - written)
                                   : static_cast<DWORD>(sizeof calls->buffer);
            std::memcpy(calls->buffer, bytes + written, part);
            // The write's own time limit, no later than the deadline it serves: a write that
            // stalls ends short within it.
            const DWORD limit = static_cast<DWORD>(clock::msLeft(untilMs, 60000));
            DWORD put = callBounded(true, part, limit);
            if (put == 0 && ioError() == ERROR_OPERATION_ABORTED) {
                // A line error with fAbortOnError (set by a driver despite the settings) cancels
                // the call until the error is cleared (keepFirst did): tried once more.
                clearError();
                put = callBounded(true, part, static_cast<DWORD>(clock::msLeft(untilMs, 60000)));
            }
            written += static_cast<int32_t>(put);
            if (put < part && ioError() == 0) {
                // A write returns short only when its time limit has passed: the device or the
                // adapter has stopped taking data.
                keep(ERROR_TIMEOUT);
            }
        }
        return written;
    }

    void purge(int32_t) override { PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR); }

    int32_t queued() override {
        COMSTAT status{};
        // Some virtual ports fail the call (87) while nothing is wrong: the count is unknown.
        if (!takeLineErrors(&status)) {
            return -1;
        }
        return static_cast<int32_t>(status.cbInQue);
    }

    bool lineErrors(LineErrors* counted) override {
        takeLineErrors(nullptr);
        *counted = errors;
        return true;
    }

  private:
    // Keeps the first error of a read or write, and clears the port's error state: with
    // fAbortOnError set by another program, a line error would otherwise cancel every later
    // call.
    void keep(DWORD error) {
        keepFirst(static_cast<int>(error != 0 ? error : ERROR_GEN_FAILURE));
        takeLineErrors(nullptr);
    }

    // Clears the port's error state, counting the line errors it held; false when the call
    // fails. Windows reports line errors as flags that the call takes: each call that finds one
    // counts it once.
    bool takeLineErrors(COMSTAT* status) {
        DWORD flags = 0;
        if (!ClearCommError(port, &flags, status)) {
            return false;
        }
        errors.framing += (flags & CE_FRAME) != 0 ? 1 : 0;
        errors.overrun += (flags & (CE_OVERRUN | CE_RXOVER)) != 0 ? 1 : 0;
        errors.parity += (flags & CE_RXPARITY) != 0 ? 1 : 0;
        errors.breaks += (flags & CE_BREAK) != 0 ? 1 : 0;
        return true;
    }

    // Starts a read (`writing` false) or a write of `count` bytes of the block's buffer and
    // waits for it to end, at most `boundMs`; then cancels it and waits at most CANCEL_BOUND_MS
    // more. Gives the bytes moved; a call that did not end leaves ERROR_DRIVER_STOPPED.
    DWORD callBounded(bool writing, DWORD count, DWORD boundMs) {
        if (stuck) {
            keep(ERROR_DRIVER_STOPPED);
            return 0;
        }
        ZeroMemory(&calls->overlapped, sizeof calls->overlapped);
        calls->overlapped.hEvent = calls->done;
        ResetEvent(calls->done);
        const BOOL started =
            writing ? WriteFile(port, calls->buffer, count, nullptr, &calls->overlapped)
                    : ReadFile(port, calls->buffer, count, nullptr, &calls->overlapped);
        if (!started && GetLastError() != ERROR_IO_PENDING) {
            keep(GetLastError());
            return 0;
        }
        // A driver that ignores the read time limits (or the write's) holds the call until data
        // comes: cancelled, it ends with what it has. One that does not end even then is stuck.
        const bool cancelled =
            !started && WaitForSingleObject(calls->done, boundMs) != WAIT_OBJECT_0;
        if (cancelled) {
            CancelIoEx(port, &calls->overlapped);
        }
        if (cancelled && WaitForSingleObject(calls->done, CANCEL_BOUND_MS) != WAIT_OBJECT_0) {
            stuck = true;
            keep(ERROR_DRIVER_STOPPED);
            return 0;
        }
        DWORD moved = 0;
        if (!GetOverlappedResult(port, &calls->overlapped, &moved, FALSE) &&
            !(cancelled && GetLastError() == ERROR_OPERATION_ABORTED)) {
            keep(GetLastError());
        }
        return moved;
    }

    HANDLE port;
    CallBlock* calls;
    bool stuck = false;
    LineErrors errors;
};

static_assert(sizeof(ComLine) <= LineSlot::SIZE, "a COM port's line fits its room");

}  // namespace

int openTty(const char* deviceName, int32_t baudRate, int32_t inQueueSize, int32_t outQueueSize,
            LineSlot* slot, Line** line, OpenFailure* failure) {
    failure->call = CALL_OPEN;
    CallBlock* calls = nullptr;
    for (CallBlock& block : callBlocks) {
        if (!block.taken && calls == nullptr) {
            calls = &block;
        }
    }
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
            failure->call = CALL_LINE_SETTINGS;
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
        failure->call = CALL_TIMEOUTS;
        return error != 0 ? error : ERROR_INVALID_PARAMETER;
    }
    calls->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (calls->done == nullptr) {
        const int error = static_cast<int>(GetLastError());
        CloseHandle(port);
        return error;
    }
    calls->taken = true;
    EscapeCommFunction(port, SETRTS);
    EscapeCommFunction(port, SETDTR);
    SetupComm(port, static_cast<DWORD>(inQueueSize), static_cast<DWORD>(outQueueSize));
    PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
    *line = new (slot->bytes) ComLine(port, calls);
    return 0;
}

}  // namespace platform
}  // namespace qorv
