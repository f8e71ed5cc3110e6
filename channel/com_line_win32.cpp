// A COM port as a line. A driver may never complete a request: kernel32 waits for the status,
// purge and settings requests without a limit, and wine makes even overlapped reads and writes in
// the calling thread. So a worker thread of the port makes every request to its driver (reads and
// writes as overlapped calls, each cancelled at its bound), and the line waits for each with a
// bound: a driver that never answers one costs that bound, and the port is then left alone.
#include <windows.h>

#include <cstring>
#include <initializer_list>
#include <new>

#include "channel/clock.h"
#include "channel/platform.h"
#include "channel/win32_line.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace qorv {
namespace platform {

namespace {

// The driver requests the worker makes. Read: waits (polling the queue's status each
// millisecond) until bytes are queued or the wait has passed, then reads what is queued, which a
// driver gives at once, so that no read waits on the driver's own time limits or a cancel; a port
// that does not give its status is read by those limits. Write: writes, cancelled at its bound.
enum class Ask {
    Status,
    Read,
    Write,
    Purge,
    Setup,
    GetState,
    SetState,
    GetTimeouts,
    SetTimeouts,
    Escape
};

// What a port needs beyond its line: its worker and the request, with the buffer and OVERLAPPED
// of a read or write. A request the driver never ends keeps them for good (the worker may still be
// inside the call, the driver may still write into the buffer), so they live here, not in the
// line, and a room left to a stuck driver is never used again.
struct PortRoom {
    bool taken = false;
    bool abandoned = false;
    HANDLE worker = nullptr;
    HANDLE pause = nullptr;  // the worker's 1 ms timer; null: Sleep
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE asked = CONDITION_VARIABLE_INIT;
    CONDITION_VARIABLE answered = CONDITION_VARIABLE_INIT;
    bool pending = false;  // a request is with the worker
    // The request.
    HANDLE port = nullptr;
    Ask ask = Ask::Status;
    DWORD value = 0;
    DWORD value2 = 0;
    DWORD count = 0;      // bytes to read or write
    DWORD boundMs = 0;    // a write's time
    int32_t untilMs = 0;  // a read's wait for the first byte
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    // The answer.
    BOOL ok = FALSE;
    DWORD error = 0;
    COMSTAT status{};
    DWORD moved = 0;      // bytes read or written
    DWORD callError = 0;  // a read's or write's error, ERROR_DRIVER_STOPPED: it never ended
    // Line errors, counted by each status request that finds one (Windows reports them as flags
    // that the request takes).
    LineErrors errors;
    HANDLE done = nullptr;
    OVERLAPPED overlapped{};
    uint8_t buffer[2048];
};
PortRoom rooms[16];

BOOL takeStatus(PortRoom* room) {
    DWORD flags = 0;
    if (!ClearCommError(room->port, &flags, &room->status)) {
        ZeroMemory(&room->status, sizeof room->status);
        return FALSE;
    }
    room->errors.framing += (flags & CE_FRAME) != 0 ? 1 : 0;
    room->errors.overrun += (flags & (CE_OVERRUN | CE_RXOVER)) != 0 ? 1 : 0;
    room->errors.parity += (flags & CE_RXPARITY) != 0 ? 1 : 0;
    room->errors.breaks += (flags & CE_BREAK) != 0 ? 1 : 0;
    return TRUE;
}

void pauseOneMs(PortRoom* room) {
    LARGE_INTEGER due;
    due.QuadPart = -10000;  // 1 ms from now, in 100 ns units
    if (room->pause != nullptr && SetWaitableTimer(room->pause, &due, 0, nullptr, nullptr, FALSE)) {
        WaitForSingleObject(room->pause, INFINITE);
    } else {
        Sleep(1);
    }
}

// Starts a read (`writing` false) or a write of `count` bytes of the room's buffer and waits for
// it to end, at most `boundMs`; then cancels it and waits at most CANCEL_BOUND_MS more. Leaves the
// bytes moved and the call's error; ERROR_DRIVER_STOPPED: it did not end.
void moveBytes(PortRoom* room, bool writing, DWORD count, DWORD boundMs) {
    HANDLE port = room->port;
    ZeroMemory(&room->overlapped, sizeof room->overlapped);
    room->overlapped.hEvent = room->done;
    ResetEvent(room->done);
    const BOOL started = writing ? WriteFile(port, room->buffer, count, nullptr, &room->overlapped)
                                 : ReadFile(port, room->buffer, count, nullptr, &room->overlapped);
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        room->callError = GetLastError() != 0 ? GetLastError() : ERROR_GEN_FAILURE;
        return;
    }
    // A driver that ignores the time limits holds the call: cancelled, it ends with what it has.
    // One that does not end even then is stuck.
    const bool cancelled = !started && WaitForSingleObject(room->done, boundMs) != WAIT_OBJECT_0;
    if (cancelled) {
        CancelIoEx(port, &room->overlapped);
    }
    if (cancelled && WaitForSingleObject(room->done, CANCEL_BOUND_MS) != WAIT_OBJECT_0) {
        room->callError = ERROR_DRIVER_STOPPED;
        return;
    }
    if (!GetOverlappedResult(port, &room->overlapped, &room->moved, FALSE) &&
        !(cancelled && GetLastError() == ERROR_OPERATION_ABORTED)) {
        room->callError = GetLastError() != 0 ? GetLastError() : ERROR_GEN_FAILURE;
    }
}

void readBytes(PortRoom* room) {
    for (;;) {
        if (!takeStatus(room)) {
            // Some virtual ports fail the status request (87) while nothing is wrong; a line that
            // has gone away fails it too. Either way a read tells, by the driver's time limits.
            const int32_t started = clock::nowMs();
            moveBytes(room, false, room->count, READ_BOUND_MS);
            if (room->moved == 0 && room->untilMs - started > 0 && clock::nowMs() == started) {
                // A read on a line that has gone away (a USB adapter pulled out, a hung-up line)
                // returns at once, failed or empty: the pause keeps the caller from spinning.
                pauseOneMs(room);
            }
            return;
        }
        const DWORD queued = room->status.cbInQue;
        if (queued > 0) {
            // Queued bytes come at once; the bound is for a driver that holds them.
            moveBytes(room, false, queued < room->count ? queued : room->count, READ_BOUND_MS);
            return;
        }
        if (clock::nowMs() - room->untilMs >= 0) {
            return;
        }
        pauseOneMs(room);
    }
}

BOOL perform(PortRoom* room) {
    HANDLE port = room->port;
    switch (room->ask) {
        case Ask::Status:
            return takeStatus(room);
        case Ask::Read:
        case Ask::Write:
            room->moved = 0;
            room->callError = 0;
            if (room->ask == Ask::Read) {
                readBytes(room);
            } else {
                moveBytes(room, true, room->count, room->boundMs);
            }
            return TRUE;
        case Ask::Purge:
            return PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
        case Ask::Setup:
            return SetupComm(port, room->value, room->value2);
        case Ask::GetState:
            return GetCommState(port, &room->dcb);
        case Ask::SetState:
            return SetCommState(port, &room->dcb);
        case Ask::GetTimeouts:
            return GetCommTimeouts(port, &room->timeouts);
        case Ask::SetTimeouts:
            return SetCommTimeouts(port, &room->timeouts);
        case Ask::Escape:
            return EscapeCommFunction(port, room->value);
    }
    return FALSE;
}

DWORD WINAPI serve(void* context) {
    PortRoom* room = static_cast<PortRoom*>(context);
    // Windows sleeps to its timer tick (15.6 ms) unless a timer is of high resolution. Wine
    // sleeps a millisecond as asked, and its timers cost a round trip to the wine server each.
    const bool underWine =
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    room->pause =
        underWine ? nullptr
                  : CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                           TIMER_ALL_ACCESS);
    AcquireSRWLockExclusive(&room->lock);
    for (;;) {
        while (!room->pending) {
            SleepConditionVariableSRW(&room->asked, &room->lock, INFINITE, 0);
        }
        ReleaseSRWLockExclusive(&room->lock);
        const BOOL ok = perform(room);
        const DWORD error = ok ? 0 : GetLastError();
        AcquireSRWLockExclusive(&room->lock);
        room->ok = ok;
        room->error = error;
        room->pending = false;
        WakeConditionVariable(&room->answered);
    }
}

enum class Answer { Done, Failed, Stuck };

// Has the worker make the request set in `room` and waits for it at most `boundMs`. A request
// that does not end in time is left to the driver, with the room.
Answer request(PortRoom* room, Ask ask, int32_t boundMs) {
    const int32_t until = clock::nowMs() + boundMs;
    AcquireSRWLockExclusive(&room->lock);
    room->ask = ask;
    room->pending = true;
    WakeConditionVariable(&room->asked);
    for (int32_t left = boundMs; room->pending && left > 0; left = until - clock::nowMs()) {
        SleepConditionVariableSRW(&room->answered, &room->lock, static_cast<DWORD>(left), 0);
    }
    const bool ended = !room->pending;
    ReleaseSRWLockExclusive(&room->lock);
    if (!ended) {
        room->abandoned = true;
        return Answer::Stuck;
    }
    if (!room->ok) {
        SetLastError(room->error != 0 ? room->error : ERROR_GEN_FAILURE);
        return Answer::Failed;
    }
    return Answer::Done;
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
    ComLine(HANDLE port, PortRoom* room) : port(port), room(room) {}

    int32_t stopBits() const override { return room->dcb.StopBits == TWOSTOPBITS ? 2 : 1; }

    ~ComLine() override {
        CloseHandle(port);
        if (!stuck()) {
            room->taken = false;
        }
    }

    int32_t read(uint8_t* buffer, int32_t count, int32_t waitUs) override {
        const int32_t waitMs = (waitUs + 999) / 1000;
        if (stuck()) {
            // Waits as asked, so that a caller's loop does not spin on a port left to its driver.
            keep(ERROR_DRIVER_STOPPED);
            clock::sleepMs(waitMs);
            return 0;
        }
        room->untilMs = clock::nowMs() + waitMs;
        room->count = fitted(count);
        // A read of queued bytes that needs a cancel ends within READ_BOUND_MS + CANCEL_BOUND_MS
        // of the wait, inside the bound of a request.
        if (!ask(Ask::Read, waitMs + REQUEST_BOUND_MS)) {
            return 0;
        }
        std::memcpy(buffer, room->buffer, room->moved);
        if (room->callError != 0) {
            keep(room->callError);
        }
        return static_cast<int32_t>(room->moved);
    }

    int32_t write(const uint8_t* bytes, int32_t count, int32_t untilMs) override {
        int32_t written = 0;
        while (written < count && ioError() == 0) {
            const DWORD part = fitted(count - written);
            DWORD put = writePart(bytes + written, part, untilMs);
            if (put == 0 && ioError() == ERROR_OPERATION_ABORTED) {
                // A line error with fAbortOnError (set by a driver despite the settings) cancels
                // the call until the error is cleared (keep did): tried once more.
                clearError();
                put = writePart(bytes + written, part, untilMs);
            }
            written += static_cast<int32_t>(put);
            if (put < part && ioError() == 0) {
                // A write ends short only when its time has run out: the device or the adapter
                // has stopped taking data.
                keep(ERROR_TIMEOUT);
            }
        }
        return written;
    }

    void purge(int32_t untilMs) override {
        const int32_t bound = clock::msLeft(untilMs, REQUEST_BOUND_MS);
        if (!stuck()) {
            ask(Ask::Purge, bound > 0 ? bound : 1);
        }
    }

    int32_t queued() override {
        // Some virtual ports fail the request (87) while nothing is wrong: the count is unknown.
        return !stuck() && ask(Ask::Status, REQUEST_BOUND_MS)
                   ? static_cast<int32_t>(room->status.cbInQue)
                   : -1;
    }

    bool lineErrors(LineErrors* counted) override {
        if (!stuck()) {
            ask(Ask::Status, REQUEST_BOUND_MS);
        }
        *counted = room->errors;
        return true;
    }

  private:
    // The port has been left to its driver: a request or call never ended.
    bool stuck() const { return room->abandoned; }

    // Up to as many bytes as the room's buffer holds.
    DWORD fitted(int32_t count) const {
        return static_cast<DWORD>(count) < sizeof room->buffer
                   ? static_cast<DWORD>(count)
                   : static_cast<DWORD>(sizeof room->buffer);
    }

    // Has the worker make a request; false when it failed or did not end (the port is then left
    // to its driver, and its error kept).
    bool ask(Ask what, int32_t boundMs) {
        const Answer answer = request(room, what, boundMs);
        if (answer == Answer::Stuck) {
            keepFirst(static_cast<int>(ERROR_DRIVER_STOPPED));
        }
        return answer == Answer::Done;
    }

    // Writes within the time left to the deadline it serves: a write that stalls is cancelled
    // then and ends short.
    DWORD writePart(const uint8_t* bytes, DWORD count, int32_t untilMs) {
        if (stuck()) {
            keep(ERROR_DRIVER_STOPPED);
            return 0;
        }
        std::memcpy(room->buffer, bytes, count);
        room->count = count;
        const int32_t left = clock::msLeft(untilMs, 60000);
        room->boundMs = static_cast<DWORD>(left);
        if (!ask(Ask::Write, left + REQUEST_BOUND_MS)) {
            return 0;
        }
        if (room->callError != 0) {
            keep(room->callError);
        }
        return room->moved;
    }

    // Keeps the first error of a read or write and clears the port's error state: with
    // fAbortOnError set by another program, a line error would otherwise cancel every later
    // call. A call that never ended leaves the port to its driver.
    void keep(DWORD error) {
        keepFirst(static_cast<int>(error != 0 ? error : ERROR_GEN_FAILURE));
        if (error == ERROR_DRIVER_STOPPED) {
            room->abandoned = true;
        }
        if (!stuck()) {
            ask(Ask::Status, REQUEST_BOUND_MS);
        }
    }

    HANDLE port;
    PortRoom* room;
};

static_assert(sizeof(ComLine) <= LineSlot::SIZE, "a COM port's line fits its room");

// A free room, its worker started (a room keeps its worker for the next port).
PortRoom* freeRoom() {
    for (PortRoom& room : rooms) {
        if (room.taken || room.abandoned) {
            continue;
        }
        if (room.done == nullptr) {
            room.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        }
        if (room.done != nullptr && room.worker == nullptr) {
            room.worker = CreateThread(nullptr, 64 * 1024, serve, &room,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        }
        return room.done != nullptr && room.worker != nullptr ? &room : nullptr;
    }
    return nullptr;
}

// The error of a setting the driver refused (`call`) or never answered (the ask marked that).
int notTaken(Answer answer, OpenCall call, OpenFailure* failure) {
    if (answer == Answer::Stuck) {
        return static_cast<int>(ERROR_DRIVER_STOPPED);
    }
    failure->call = call;
    const int error = static_cast<int>(GetLastError());
    return error != 0 ? error : ERROR_INVALID_PARAMETER;
}

// The open's requests to the driver, each bounded; `failure` says which one failed.
int setUp(HANDLE port, PortRoom* room, int32_t baudRate, int32_t inQueueSize, int32_t outQueueSize,
          OpenFailure* failure) {
    room->port = port;
    const auto ask = [&](Ask what) {
        const Answer answer = request(room, what, OPEN_REQUEST_BOUND_MS);
        if (answer == Answer::Stuck) {
            failure->call = CALL_DRIVER_STUCK;
        }
        return answer;
    };
    // An error state left by another program (with fAbortOnError, every call would fail with
    // 995 until it is cleared).
    if (ask(Ask::Status) == Answer::Stuck) {
        return ERROR_DRIVER_STOPPED;
    }
    // The queue sizes before the settings: drivers check XonLim and XoffLim against them.
    room->value = static_cast<DWORD>(inQueueSize);
    room->value2 = static_cast<DWORD>(outQueueSize);
    if (ask(Ask::Setup) == Answer::Stuck) {
        return ERROR_DRIVER_STOPPED;
    }
    // A driver that does not report its settings leaves a zeroed DCB, which applyLineSettings
    // completes.
    ZeroMemory(&room->dcb, sizeof room->dcb);
    room->dcb.DCBlength = sizeof room->dcb;
    const Answer got = ask(Ask::GetState);
    if (got == Answer::Stuck) {
        return ERROR_DRIVER_STOPPED;
    }
    if (got == Answer::Failed) {
        ZeroMemory(&room->dcb, sizeof room->dcb);
        room->dcb.DCBlength = sizeof room->dcb;
    }
    bool twoStopBits = true;
    applyLineSettings(&room->dcb, baudRate, twoStopBits);
    Answer set = ask(Ask::SetState);
    if (set == Answer::Failed) {
        // Some drivers refuse two stop bits at 8N; one stop bit is the fallback.
        twoStopBits = false;
        room->dcb.StopBits = ONESTOPBIT;
        set = ask(Ask::SetState);
    }
    if (set != Answer::Done) {
        return notTaken(set, CALL_LINE_SETTINGS, failure);
    }
    ZeroMemory(&room->timeouts, sizeof room->timeouts);
    if (ask(Ask::GetTimeouts) == Answer::Stuck) {
        return ERROR_DRIVER_STOPPED;
    }
    applyTimeouts(&room->timeouts, baudRate, twoStopBits);
    // Without its read timeouts (and with all-zero ones inherited) a read waits until data comes,
    // so no time limit would ever run: such a port is not used.
    const Answer timed = ask(Ask::SetTimeouts);
    if (timed != Answer::Done) {
        return notTaken(timed, CALL_TIMEOUTS, failure);
    }
    for (DWORD function : {static_cast<DWORD>(SETRTS), static_cast<DWORD>(SETDTR)}) {
        room->value = function;
        if (ask(Ask::Escape) == Answer::Stuck) {
            return ERROR_DRIVER_STOPPED;
        }
    }
    return ask(Ask::Purge) == Answer::Stuck ? static_cast<int>(ERROR_DRIVER_STOPPED) : 0;
}

}  // namespace

int openTty(const char* deviceName, int32_t baudRate, int32_t inQueueSize, int32_t outQueueSize,
            LineSlot* slot, Line** line, OpenFailure* failure) {
    failure->call = CALL_OPEN;
    PortRoom* room = freeRoom();
    if (room == nullptr) {
        return ERROR_TOO_MANY_OPEN_FILES;
    }
    HANDLE port = openDevice(deviceName);
    if (port == INVALID_HANDLE_VALUE) {
        return static_cast<int>(GetLastError());
    }
    const int error = setUp(port, room, baudRate, inQueueSize, outQueueSize, failure);
    if (error != 0) {
        CloseHandle(port);
        return error;
    }
    room->taken = true;
    *line = new (slot->bytes) ComLine(port, room);
    return 0;
}

}  // namespace platform
}  // namespace qorv
