// The whole tool, unchanged, against a model of Windows' serial drivers as they are documented
// to behave and as they misbehave, where wine does not: reads and writes that return at once,
// on a tick, late or never; writes that time out or fail with 121; unplugging; busy, missing,
// slow and Bluetooth ports; refused settings and timeouts; line errors; fAbortOnError, a failing
// ClearCommError; and the console's Ctrl+C, the system's language and the registry's port list. The
// model takes the place of kernel32's (and advapi32's, msvcrt's) functions by defining their import
// pointers, which the linker takes instead of the import libraries'; everything else is the real
// Win32 under wine. A device answers the frames, and the clock is the model's, so every case is
// exact and quick. Run by the Windows suite; exits 0 when every case holds. GCC 12 takes the case
// table's temporaries for uninitialized vectors (a known false warning).
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/run.h"
#include "channel/device_channel.h"
#include "sim/device.h"
#include "tests/capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

HANDLE const PORT = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5EED0));

// How the driver completes reads: as documented for the timeouts the tool sets (at once with
// what is there, else after about 1 ms), at once even with nothing, on a 15.6 ms timer tick, only
// when data comes (ignoring the timeouts, honouring a cancel), only when cancelled (with the bytes
// it took, or reporting none of them), or never (even with bytes there, ignoring a cancel too).
enum class Reads {
    Documented,
    EmptyAtOnce,
    OnTick,
    WhenDataComes,
    OnlyWhenCancelled,
    ZeroWhenCancelled,
    Never
};
// How it completes writes from the block `writeFaultAtBlock` on: a timeout taking a few bytes
// (completed short), failing with 121 after the timeout, or never.
enum class Writes { Documented, Short, Fail121, Never };

// What the driver of the one port does; set by each case.
struct Driver {
    DWORD openError = 0;
    // The open fails with `openError` until this time (simulated ms); 0: always.
    int64_t openErrorUntilMs = 0;
    // Each failing open takes this long (a Bluetooth link that does not connect).
    int64_t openTakesMs = 0;
    bool getStateFails = false;
    bool refuseTwoStopBits = false;
    DWORD setStateError = 0;
    bool refuseTimeouts = false;
    bool abortPending = false;
    bool clearFails = false;
    // From the store block with this number on, the status request (ClearCommError) or the purge
    // never returns; a settings request at the open never returns.
    int statusStallAtBlock = 0;
    int purgeStallAtBlock = 0;
    bool settingsStall = false;
    Reads reads = Reads::Documented;
    // From the store block with this number (1-16) on, reads follow `reads`; before it, as
    // documented.
    int readFaultAtBlock = 1;
    Writes writes = Writes::Documented;
    int writeFaultAtBlock = 0;
    // From the store block with this number on: every call fails with `unplugError` (reads
    // only when `unplugReadsFail`; otherwise they return empty).
    int unplugAtBlock = 0;
    DWORD unplugError = 0;
    bool unplugReadsFail = true;
    // The device's bytes arrive spoiled (a wrong baud rate), and ClearCommError reports these
    // errors (CE_FRAME, ...) when spoiled bytes have come since it was last called.
    bool garbled = false;
    DWORD lineErrors = 0;
    bool frenchMessages = false;
    std::vector<LSTATUS> registry;  // RegEnumValueW results by index; the first is RegOpenKeyExW
    bool bluetooth = false;         // the registry names the ports' devices as Bluetooth links
    bool console = false;
};

// What the tool did to the port, as the driver saw it.
struct Observed {
    // The settings and time limits it set last, the lines it raised, how it opened the port.
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    bool timeoutsSet = false;
    bool dtr = false;
    bool rts = false;
    bool overlapped = false;
    // Its calls, and a call it left to the driver (one that never completes).
    int reads = 0;
    int writes = 0;
    bool hung = false;
    // The store blocks it wrote, and every byte.
    int blocksWritten = 0;
    Bytes wire;
    // Whether the console turned Ctrl+C into a signal while it waited for a key.
    bool processedInputAtKey = true;
};

Driver driver;
Observed seen;
// Moved by the tool's thread and its port's worker, one at a time.
std::atomic<int64_t> nowUs{0};
// A request of the worker's that the driver holds for ever: waits for it time out at once.
std::atomic<bool> requestHeld{false};
// When ClearCommError last reported.
int64_t lastStatusUs = -1;
std::deque<std::pair<int64_t, uint8_t>> toTool;
Bytes fromTool;

// The call in flight on the port: it completes at `doneUs` (INT64_MAX: never), with what has
// arrived by then for a read.
struct Call {
    bool pending = false;
    bool reading = false;
    LPOVERLAPPED overlapped = nullptr;
    uint8_t* buffer = nullptr;
    DWORD count = 0;
    int64_t doneUs = 0;
    bool honoursCancel = true;
    DWORD failsWith = 0;  // the status it ends with when not cancelled
};
Call call;

template <typename Function>
Function real(const wchar_t* module, const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(module), name)));
}

// Whether the store has reached block `block` (0: never).
bool fromBlock(int block) {
    return block > 0 && seen.blocksWritten >= block;
}

// A request the driver never completes: the calling thread waits for ever.
BOOL holdForEver() {
    requestHeld = true;
    static const auto wait =
        real<decltype(&WaitForSingleObject)>(L"kernel32.dll", "WaitForSingleObject");
    static HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wait(never, INFINITE);
    return FALSE;
}

// The device answers each whole request 1 ms after it was written.
pelorix::Device device{pelorix::EXPECTED_DEVICE_IDENTITY, {}};

void deviceTakes(const uint8_t* bytes, DWORD count) {
    fromTool.insert(fromTool.end(), bytes, bytes + count);
    Bytes request;
    while (pelorix::takeFrame(fromTool, &request)) {
        for (const pelorix::Emission& emission : device.take(request).emissions) {
            for (uint8_t byte : emission.bytes) {
                toTool.emplace_back(nowUs + 1000 + emission.afterUs,
                                    driver.garbled ? static_cast<uint8_t>(byte ^ 0x81) : byte);
            }
        }
    }
}

bool unplugged() {
    return fromBlock(driver.unplugAtBlock);
}

// An unplugged port, or one with an error pending under fAbortOnError, fails every call.
bool failsNow(bool reading) {
    if ((unplugged() && (driver.unplugReadsFail || !reading)) || driver.abortPending) {
        SetLastError(unplugged() ? driver.unplugError : ERROR_OPERATION_ABORTED);
        return true;
    }
    return false;
}

size_t available() {
    size_t count = 0;
    while (count < toTool.size() && toTool[count].first <= nowUs) {
        ++count;
    }
    return count;
}

// Ends the call in flight now: a read takes what has arrived.
void complete(DWORD status) {
    DWORD moved = call.reading ? 0 : call.count;
    while (call.reading && moved < call.count && available() > 0) {
        call.buffer[moved++] = toTool.front().second;
        toTool.pop_front();
    }
    call.overlapped->Internal = status;
    call.overlapped->InternalHigh = moved;
    call.pending = false;
    SetEvent(call.overlapped->hEvent);
}

// Starts a call: completed at once when `doneUs` has come, otherwise left in flight.
BOOL start(bool reading, LPOVERLAPPED overlapped, void* buffer, DWORD count, int64_t doneUs,
           bool honoursCancel = true) {
    call = Call{true,  reading, overlapped,   static_cast<uint8_t*>(buffer),
                count, doneUs,  honoursCancel};
    if (doneUs <= nowUs) {
        complete(0);
        return TRUE;
    }
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

HANDLE WINAPI fakeCreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags,
                              HANDLE) {
    const bool refused = driver.openError != 0 &&
                         (driver.openErrorUntilMs == 0 || nowUs < driver.openErrorUntilMs * 1000);
    if (std::strncmp(name, "\\\\.\\COM", 7) != 0 || refused) {
        nowUs += driver.openTakesMs * 1000;
        SetLastError(refused ? driver.openError : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    seen.overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    return PORT;
}

BOOL WINAPI fakeGetCommState(HANDLE, LPDCB dcb) {
    if (driver.getStateFails) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    // As another program left it.
    dcb->BaudRate = 9600;
    dcb->fAbortOnError = TRUE;
    dcb->fOutxCtsFlow = TRUE;
    dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb->XonChar = 0x11;
    dcb->XoffChar = 0x13;
    dcb->ByteSize = 7;
    return TRUE;
}

// A setting the driver does not take.
BOOL refused() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL WINAPI fakeSetCommState(HANDLE, LPDCB dcb) {
    if (driver.settingsStall) {
        return holdForEver();
    }
    if (driver.setStateError != 0) {
        SetLastError(driver.setStateError);
        return FALSE;
    }
    // Drivers check the DCB as a whole; equal XON and XOFF characters are refused.
    if (dcb->XonChar == dcb->XoffChar ||
        (driver.refuseTwoStopBits && dcb->StopBits == TWOSTOPBITS)) {
        return refused();
    }
    seen.dcb = *dcb;
    return TRUE;
}

BOOL WINAPI fakeGetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
    // Until the tool sets its own, as inherited: all zero, so that a read waits until data comes.
    *timeouts = seen.timeoutsSet ? seen.timeouts : COMMTIMEOUTS{};
    return TRUE;
}

BOOL WINAPI fakeSetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
    if (driver.refuseTimeouts) {
        return refused();
    }
    seen.timeouts = *timeouts;
    seen.timeoutsSet = true;
    return TRUE;
}

BOOL WINAPI fakeEscapeCommFunction(HANDLE, DWORD function) {
    seen.dtr = seen.dtr || function == SETDTR;
    seen.rts = seen.rts || function == SETRTS;
    return TRUE;
}

BOOL WINAPI fakeSetupComm(HANDLE, DWORD, DWORD) {
    return TRUE;
}

BOOL WINAPI fakePurgeComm(HANDLE, DWORD) {
    if (fromBlock(driver.purgeStallAtBlock)) {
        return holdForEver();
    }
    toTool.erase(toTool.begin(), toTool.begin() + static_cast<long>(available()));
    return TRUE;
}

BOOL WINAPI fakeClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT status) {
    if (fromBlock(driver.statusStallAtBlock)) {
        return holdForEver();
    }
    if (unplugged()) {
        SetLastError(driver.unplugError);
        return FALSE;
    }
    if (driver.clearFails) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    driver.abortPending = false;
    if (errors != nullptr) {
        // Errors come with the bytes they spoiled.
        const bool spoiled =
            driver.garbled && std::any_of(toTool.begin(), toTool.end(), [](const auto& byte) {
                return byte.first > lastStatusUs && byte.first <= nowUs;
            });
        *errors = spoiled ? driver.lineErrors : 0;
        lastStatusUs = nowUs;
    }
    if (status != nullptr) {
        ZeroMemory(status, sizeof *status);
        status->cbInQue = static_cast<DWORD>(available());
    }
    return TRUE;
}

BOOL WINAPI fakeReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD got,
                         LPOVERLAPPED overlapped) {
    static const auto readFile = real<decltype(&ReadFile)>(L"kernel32.dll", "ReadFile");
    if (handle != PORT) {
        return readFile(handle, buffer, count, got, overlapped);
    }
    ++seen.reads;
    if (failsNow(true)) {
        return FALSE;
    }
    const int64_t next = toTool.empty() ? INT64_MAX : toTool.front().first;
    const Reads reads =
        seen.blocksWritten >= driver.readFaultAtBlock ? driver.reads : Reads::Documented;
    const bool holds = reads == Reads::OnlyWhenCancelled || reads == Reads::ZeroWhenCancelled ||
                       reads == Reads::Never;
    if (unplugged() || (available() > 0 && !holds) || reads == Reads::EmptyAtOnce) {
        return start(true, overlapped, buffer, count, nowUs);
    }
    const COMMTIMEOUTS& t = seen.timeouts;
    const bool documented = seen.timeoutsSet && t.ReadIntervalTimeout == MAXDWORD &&
                            t.ReadTotalTimeoutMultiplier == MAXDWORD;
    switch (reads) {
        case Reads::Documented:
            // Without the tool's timeouts (inherited all zero) a read waits until data comes.
            return start(
                true, overlapped, buffer, count,
                documented ? std::min(next, nowUs + 1000LL * t.ReadTotalTimeoutConstant) : next);
        case Reads::OnTick:
            return start(true, overlapped, buffer, count, (nowUs / 15625 + 1) * 15625);
        case Reads::WhenDataComes:
            return start(true, overlapped, buffer, count, next);
        case Reads::OnlyWhenCancelled:
        case Reads::ZeroWhenCancelled:
            return start(true, overlapped, buffer, count, INT64_MAX);
        case Reads::Never:
        case Reads::EmptyAtOnce:
            break;
    }
    return start(true, overlapped, buffer, count, INT64_MAX, false);
}

BOOL WINAPI fakeWriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD put,
                          LPOVERLAPPED overlapped) {
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    if (handle != PORT) {
        static const auto writeFile = real<decltype(&WriteFile)>(L"kernel32.dll", "WriteFile");
        return writeFile(handle, bytes, count, put, overlapped);
    }
    ++seen.writes;
    if (count > 2 && bytes[2] == 0x96) {
        ++seen.blocksWritten;
    }
    if (failsNow(false)) {
        return FALSE;
    }
    const COMMTIMEOUTS& t = seen.timeouts;
    const int64_t limitUs =
        1000LL * (t.WriteTotalTimeoutConstant + t.WriteTotalTimeoutMultiplier * count);
    const Writes writes = fromBlock(driver.writeFaultAtBlock) ? driver.writes : Writes::Documented;
    switch (writes) {
        case Writes::Documented:
            break;
        case Writes::Short:
            // A timed-out write completes, successfully, with what went out before the timeout
            // (or before it was cancelled).
            count = count < 8 ? count / 2 : 8;
            seen.wire.insert(seen.wire.end(), bytes, bytes + count);
            deviceTakes(bytes, count);
            return start(false, overlapped, const_cast<uint8_t*>(bytes), count, nowUs + limitUs);
        case Writes::Fail121:
            // Fails when its timeout has passed (STATUS_IO_TIMEOUT), unless cancelled first.
            start(false, overlapped, const_cast<uint8_t*>(bytes), 0, nowUs + limitUs);
            call.failsWith = static_cast<DWORD>(0xC00000B5);
            return FALSE;
        case Writes::Never:
            return start(false, overlapped, const_cast<uint8_t*>(bytes), count, INT64_MAX, false);
    }
    seen.wire.insert(seen.wire.end(), bytes, bytes + count);
    deviceTakes(bytes, count);
    return start(false, overlapped, const_cast<uint8_t*>(bytes), count, nowUs);
}

// Waits on the call in flight move the clock: to its end, or by the time waited.
DWORD WINAPI fakeWaitForSingleObject(HANDLE object, DWORD ms) {
    if (!call.pending || object != call.overlapped->hEvent) {
        static const auto wait =
            real<decltype(&WaitForSingleObject)>(L"kernel32.dll", "WaitForSingleObject");
        return wait(object, ms);
    }
    const int64_t until = nowUs + 1000LL * ms;
    if (call.doneUs > until) {
        nowUs = until;
        return WAIT_TIMEOUT;
    }
    nowUs = std::max(nowUs.load(), call.doneUs);
    complete(call.failsWith);
    return WAIT_OBJECT_0;
}

BOOL WINAPI fakeCancelIoEx(HANDLE handle, LPOVERLAPPED) {
    if (handle != PORT || !call.pending) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    if (call.honoursCancel) {
        complete(static_cast<DWORD>(0xC0000120));  // STATUS_CANCELLED
        if (call.reading && driver.reads == Reads::ZeroWhenCancelled &&
            seen.blocksWritten >= driver.readFaultAtBlock) {
            // The bytes were taken, and the count says none.
            call.overlapped->InternalHigh = 0;
        }
    } else {
        seen.hung = true;
    }
    return TRUE;
}

BOOL WINAPI fakeGetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD moved,
                                    BOOL wait) {
    if (handle != PORT) {
        static const auto result =
            real<decltype(&GetOverlappedResult)>(L"kernel32.dll", "GetOverlappedResult");
        return result(handle, overlapped, moved, wait);
    }
    *moved = static_cast<DWORD>(overlapped->InternalHigh);
    if (overlapped->Internal != 0) {
        SetLastError(overlapped->Internal == 0xC00000B5 ? ERROR_SEM_TIMEOUT
                                                        : ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    return TRUE;
}

DWORD WINAPI fakeGetTickCount() {
    return static_cast<DWORD>(nowUs / 1000);
}

// The worker's pause is the model's Sleep.
HANDLE WINAPI fakeCreateWaitableTimerExW(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD) {
    return nullptr;
}

// The tool waiting for its port's worker: a request the driver holds makes the wait time out on
// the model's clock; otherwise the worker answers in no model time, and is waited for.
BOOL WINAPI fakeSleepConditionVariableSRW(PCONDITION_VARIABLE variable, PSRWLOCK lock, DWORD ms,
                                          ULONG flags) {
    if (requestHeld && ms != INFINITE) {
        nowUs += 1000LL * ms;
        SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    static const auto sleep =
        real<decltype(&SleepConditionVariableSRW)>(L"kernel32.dll", "SleepConditionVariableSRW");
    return sleep(variable, lock, ms < 5 ? ms : 5, flags);
}

BOOL WINAPI fakeCloseHandle(HANDLE handle) {
    if (handle == PORT) {
        return TRUE;
    }
    static const auto closeHandle = real<decltype(&CloseHandle)>(L"kernel32.dll", "CloseHandle");
    return closeHandle(handle);
}

VOID WINAPI fakeSleep(DWORD ms) {
    nowUs += 1000LL * (ms == 0 ? 1 : ms);
}

BOOL WINAPI fakeQueryPerformanceCounter(LARGE_INTEGER* counter) {
    counter->QuadPart = nowUs;
    return TRUE;
}

BOOL WINAPI fakeQueryPerformanceFrequency(LARGE_INTEGER* frequency) {
    frequency->QuadPart = 1'000'000;
    return TRUE;
}

DWORD WINAPI fakeFormatMessageW(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPWSTR out,
                                DWORD size, va_list* arguments) {
    if (driver.frenchMessages && id == ERROR_FILE_NOT_FOUND) {
        const wchar_t* text = L"Le fichier sp\u00e9cifi\u00e9 est introuvable.\r\n";
        wcsncpy(out, text, size);
        return static_cast<DWORD>(wcslen(out));
    }
    static const auto format = real<decltype(&FormatMessageW)>(L"kernel32.dll", "FormatMessageW");
    return format(flags, source, id, language, out, size, arguments);
}

LSTATUS WINAPI fakeRegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY key) {
    *key = reinterpret_cast<HKEY>(static_cast<intptr_t>(0x4E7));
    return driver.registry.empty() ? ERROR_FILE_NOT_FOUND : driver.registry[0];
}

LSTATUS WINAPI fakeRegEnumValueW(HKEY, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD,
                                 LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (index + 1 >= driver.registry.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const LSTATUS status = driver.registry[index + 1];
    if (status == ERROR_SUCCESS) {
        const std::wstring port = L"COM" + std::to_wstring(index + 3);
        wcsncpy(name, driver.bluetooth ? L"\\Device\\BthModem0" : L"\\Device\\Serial", *nameSize);
        *type = REG_SZ;
        std::memcpy(data, port.c_str(), (port.size() + 1) * sizeof(wchar_t));
        *dataSize = static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t));
    }
    return status;
}

LSTATUS WINAPI fakeRegCloseKey(HKEY) {
    return ERROR_SUCCESS;
}

DWORD consoleMode = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;

BOOL WINAPI fakeGetConsoleMode(HANDLE handle, LPDWORD mode) {
    if (!driver.console || handle != GetStdHandle(STD_INPUT_HANDLE)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *mode = consoleMode;
    return TRUE;
}

BOOL WINAPI fakeSetConsoleMode(HANDLE, DWORD mode) {
    consoleMode = mode;
    return TRUE;
}

// Ctrl+C is typed. With ENABLE_PROCESSED_INPUT the console turns it into CTRL_C_EVENT and
// _getch never sees it (the process ends unless a handler takes it); without, it is key 0x03.
int __cdecl fakeGetch() {
    seen.processedInputAtKey = (consoleMode & ENABLE_PROCESSED_INPUT) != 0;
    return 0x03;
}

}  // namespace

extern "C" {
decltype(&CreateFileA) __imp_CreateFileA = fakeCreateFileA;
decltype(&GetCommState) __imp_GetCommState = fakeGetCommState;
decltype(&SetCommState) __imp_SetCommState = fakeSetCommState;
decltype(&GetCommTimeouts) __imp_GetCommTimeouts = fakeGetCommTimeouts;
decltype(&SetCommTimeouts) __imp_SetCommTimeouts = fakeSetCommTimeouts;
decltype(&EscapeCommFunction) __imp_EscapeCommFunction = fakeEscapeCommFunction;
decltype(&SetupComm) __imp_SetupComm = fakeSetupComm;
decltype(&PurgeComm) __imp_PurgeComm = fakePurgeComm;
decltype(&ClearCommError) __imp_ClearCommError = fakeClearCommError;
decltype(&ReadFile) __imp_ReadFile = fakeReadFile;
decltype(&WriteFile) __imp_WriteFile = fakeWriteFile;
decltype(&CloseHandle) __imp_CloseHandle = fakeCloseHandle;
decltype(&CreateWaitableTimerExW) __imp_CreateWaitableTimerExW = fakeCreateWaitableTimerExW;
decltype(&SleepConditionVariableSRW) __imp_SleepConditionVariableSRW =
    fakeSleepConditionVariableSRW;
decltype(&Sleep) __imp_Sleep = fakeSleep;
decltype(&WaitForSingleObject) __imp_WaitForSingleObject = fakeWaitForSingleObject;
decltype(&CancelIoEx) __imp_CancelIoEx = fakeCancelIoEx;
decltype(&GetOverlappedResult) __imp_GetOverlappedResult = fakeGetOverlappedResult;
decltype(&GetTickCount) __imp_GetTickCount = fakeGetTickCount;
decltype(&QueryPerformanceCounter) __imp_QueryPerformanceCounter = fakeQueryPerformanceCounter;
decltype(&QueryPerformanceFrequency) __imp_QueryPerformanceFrequency =
    fakeQueryPerformanceFrequency;
decltype(&FormatMessageW) __imp_FormatMessageW = fakeFormatMessageW;
decltype(&RegOpenKeyExW) __imp_RegOpenKeyExW = fakeRegOpenKeyExW;
decltype(&RegEnumValueW) __imp_RegEnumValueW = fakeRegEnumValueW;
decltype(&RegCloseKey) __imp_RegCloseKey = fakeRegCloseKey;
decltype(&GetConsoleMode) __imp_GetConsoleMode = fakeGetConsoleMode;
decltype(&SetConsoleMode) __imp_SetConsoleMode = fakeSetConsoleMode;
int(__cdecl* __imp__getch)() = fakeGetch;
}

// The model's clock is the product's.
int32_t qorv::clock::nowMs() {
    return static_cast<int32_t>(::nowUs / 1000);
}

int64_t qorv::clock::nowUs() {
    return ::nowUs;
}

void qorv::clock::sleepMs(int32_t ms) {
    fakeSleep(static_cast<DWORD>(ms));
}

namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
    int64_t ms;
    std::string cause;  // the run record's, "" when it has none
};

std::string settingsPath;
std::string recordPath;

std::string lastRecordCause() {
    std::FILE* file = std::fopen(recordPath.c_str(), "rb");
    std::string text;
    char chunk[4096];
    size_t got;
    while (file != nullptr && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, got);
    }
    if (file != nullptr) {
        std::fclose(file);
    }
    const size_t at = text.rfind("\"cause\":\"");
    return at == std::string::npos || text.find('\n', at) + 1 != text.size()
               ? ""
               : text.substr(at + 9, text.find('"', at + 9) - at - 9);
}

Outcome run(const Driver& scenario, std::vector<const char*> arguments = {}) {
    driver = scenario;
    seen = Observed{};
    call = Call{};
    nowUs = 0;
    requestHeld = false;
    lastStatusUs = -1;
    toTool.clear();
    fromTool.clear();
    device = pelorix::Device(pelorix::EXPECTED_DEVICE_IDENTITY, {});
    if (arguments.empty()) {
        arguments = {"QorvWriter", settingsPath.c_str(), "3"};
    }
    DeleteFileA(recordPath.c_str());
    testing_support::Capture out(1);
    testing_support::Capture err(2);
    out.begin();
    err.begin();
    const int status = qorv::runCommand(static_cast<int>(arguments.size()), arguments.data());
    Outcome outcome{status, "", "", nowUs / 1000, lastRecordCause()};
    outcome.err = err.end();
    outcome.out = out.end();
    return outcome;
}

int failures = 0;

void expect(const std::string& name, bool holds, const std::string& what, const Outcome& got) {
    if (!holds) {
        std::printf(
            "FAILED %s: %s\n  exit %d after %lld ms, cause %s\n  stdout: %s\n  stderr: %s\n",
            name.c_str(), what.c_str(), got.status, static_cast<long long>(got.ms),
            got.cause.c_str(), got.out.c_str(), got.err.c_str());
        ++failures;
    }
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

int main() {
    char directory[MAX_PATH];
    GetTempPathA(sizeof directory, directory);
    settingsPath = std::string(directory) + "driver-model.qorv";
    recordPath = std::string(directory) + "driver-model.jsonl";
    SetEnvironmentVariableA("QORV_REPORT", recordPath.c_str());
    Bytes data(1056);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    const Bytes file = pelorix::settingsFileFrom(data);
    std::FILE* out = std::fopen(settingsPath.c_str(), "wb");
    std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);

    const std::string opened = "Opening COM port...done\r\n\r\n";
    const std::string notOpened = "Opening COM port...ERROR: Can not open COM port 3\r\n";
    const std::string writing = opened + "Opening Qorv file: " + settingsPath +
                                "...done\r\n\r\nReading Qorv data from file...done\r\n\r\n" +
                                "Writing Qorv data to Pelorix...\r\n\r\n";
    const std::string stored = writing + "Qorv data stored successfully.\r\n\r\n";
    const std::string notStored = writing + "Qorv data NOT stored successfully.\r\n\r\n";

    struct Case {
        std::string name;
        Driver driver;
        std::string out;
        std::string err;    // a part of standard error; empty: standard error stays empty
        std::string cause;  // the record's; empty: stored
        int64_t maxMs;
        std::function<bool()> also = [] { return true; };
        std::string alsoWhat = "";
    };
    // Drivers that differ from the documented one in one way.
    const auto reads = [](Reads how, int atBlock = 1) {
        Driver d;
        d.reads = how;
        d.readFaultAtBlock = atBlock;
        return d;
    };
    const auto writes = [](Writes how) {
        Driver d;
        d.writes = how;
        d.writeFaultAtBlock = 5;
        return d;
    };
    const auto unplug = [](DWORD error, bool readsFail = true) {
        Driver d;
        d.unplugAtBlock = 7;
        d.unplugError = error;
        d.unplugReadsFail = readsFail;
        return d;
    };
    const auto open = [](DWORD error, int64_t untilMs = 0) {
        Driver d;
        d.openError = error;
        d.openErrorUntilMs = untilMs;
        return d;
    };
    const auto set = [](auto change) {
        Driver d;
        change(d);
        return d;
    };
    const std::string stopped = "block 5 of 16: the port's driver stopped answering";
    const std::string stalled = "block 5 of 16: the device or the adapter stopped taking data";
    const std::string busy = "another program holds the port";
    const std::string noResponse = "the adapter's driver did not respond";
    const auto fiveBlocks = [] { return seen.blocksWritten == 5; };
    Driver bluetooth = open(ERROR_SEM_TIMEOUT);
    bluetooth.openTakesMs = 3000;
    bluetooth.bluetooth = true;
    bluetooth.registry = {ERROR_SUCCESS, ERROR_SUCCESS};
    Driver wrongRate;
    wrongRate.garbled = true;
    wrongRate.lineErrors = CE_FRAME;
    Driver french = open(ERROR_FILE_NOT_FOUND);
    french.frenchMessages = true;
    Driver unreadableEntry = open(ERROR_FILE_NOT_FOUND);
    unreadableEntry.registry = {ERROR_SUCCESS, ERROR_MORE_DATA, ERROR_SUCCESS};
    Driver unreadableList = open(ERROR_FILE_NOT_FOUND);
    unreadableList.registry = {ERROR_ACCESS_DENIED};
    std::vector<Case> cases{
        {"a normal store", Driver{}, stored, "", "", 100,
         [] {
             return seen.dcb.StopBits == TWOSTOPBITS &&
                    seen.dcb.fDtrControl == DTR_CONTROL_ENABLE && !seen.dcb.fAbortOnError &&
                    !seen.dcb.fOutxCtsFlow && seen.dcb.ByteSize == 8 && seen.dtr && seen.rts &&
                    seen.overlapped && seen.wire.size() == 1199;
         },
         "8N2, no flow control, no abort on error, DTR and RTS raised, opened overlapped, all "
         "sent"},
        {"reads that return empty at once", reads(Reads::EmptyAtOnce), stored, "", "", 200,
         [] { return seen.reads < 400; }, "no spin: a read a millisecond"},
        {"reads on a 15.6 ms tick", reads(Reads::OnTick), stored, "", "", 1000},
        {"reads that wait for data and honour a cancel", reads(Reads::WhenDataComes), stored, "",
         "", 1000},
        {"a read that never completes at block 5", reads(Reads::Never, 5), notStored, stopped,
         "driver_stopped", 100 + 500 + 100},
        {"reads that end only when cancelled, with their bytes", reads(Reads::OnlyWhenCancelled),
         stored, "", "", 3000},
        {"reads that end only when cancelled, reporting none of their bytes",
         reads(Reads::ZeroWhenCancelled), notStored, "block 1 of 16: no answer within 500 ms",
         "no_answer", 600},
        {"status requests that never return from block 5",
         set([](Driver& d) { d.statusStallAtBlock = 5; }), notStored, stopped, "driver_stopped",
         100 + 500 + 100},
        {"status requests and reads that never return from block 5", set([](Driver& d) {
             d.statusStallAtBlock = 5;
             d.reads = Reads::Never;
             d.readFaultAtBlock = 5;
         }),
         notStored, stopped, "driver_stopped", 100 + 500 + 100},
        {"a purge that never returns at the close", set([](Driver& d) { d.purgeStallAtBlock = 1; }),
         stored, "", "", 100 + 100},
        {"a settings request that never returns at the open",
         set([](Driver& d) { d.settingsStall = true; }), notOpened,
         "the adapter's driver stopped answering while the port was being set up", "open_failed",
         1000 + 100},
        {"write timeout at block 5", writes(Writes::Short), notStored, stalled, "write_stalled",
         35 + 500, fiveBlocks, "no block after it"},
        {"writes failing with 121 from block 5", writes(Writes::Fail121), notStored, stalled,
         "write_stalled", 35 + 500, fiveBlocks, "no block after it"},
        {"a write that never completes at block 5", writes(Writes::Never), notStored, stopped,
         "driver_stopped", 35 + 500 + 100, [] { return seen.hung; },
         "the write was left to the driver"},
        {"unplugged at block 7, reads empty, writes failing", unplug(ERROR_GEN_FAILURE, false),
         notStored, "block 7 of 16: the line hung up or the device went away (error 31", "hung_up",
         100},
        {"open failing with 2", open(ERROR_FILE_NOT_FOUND), notOpened, "there is no such port",
         "open_failed", 10},
        {"open failing with 5", open(ERROR_ACCESS_DENIED), notOpened,
         busy + ", or it was closed or unplugged", "open_failed", 1000},
        {"open failing with 32", open(ERROR_SHARING_VIOLATION), notOpened, busy, "open_failed", 10},
        {"open failing with 121", open(ERROR_SEM_TIMEOUT), notOpened, noResponse, "open_failed",
         1000},
        {"open failing with 31", open(ERROR_GEN_FAILURE), notOpened, noResponse, "open_failed", 10},
        {"error 5 at open that clears after 300 ms", open(ERROR_ACCESS_DENIED, 300), stored, "", "",
         500},
        {"a Bluetooth link that does not connect", bluetooth, notOpened,
         "Bluetooth link that did not connect: check that the device is paired", "open_failed",
         7000},
        {"two stop bits refused", set([](Driver& d) { d.refuseTwoStopBits = true; }), stored,
         "its driver does not take two stop bits: the line has one", "", 100,
         [] { return seen.dcb.StopBits == ONESTOPBIT; }, "one stop bit"},
        {"SetCommState failing with 31",
         set([](Driver& d) { d.setStateError = ERROR_GEN_FAILURE; }), notOpened,
         "SetCommState failed: ", "open_failed", 10},
        {"SetCommState failing with 50",
         set([](Driver& d) { d.setStateError = ERROR_NOT_SUPPORTED; }), notOpened,
         "SetCommState failed: ", "open_failed", 10},
        {"settings not reported", set([](Driver& d) { d.getStateFails = true; }), stored, "", "",
         100,
         [] { return seen.dcb.XonChar != seen.dcb.XoffChar && seen.dcb.DCBlength == sizeof(DCB); },
         "a complete DCB"},
        {"read timeouts refused", set([](Driver& d) { d.refuseTimeouts = true; }), notOpened,
         "the driver did not take the port's read time limits", "open_failed", 10,
         [] { return !seen.hung; }, "no read that waits for ever"},
        {"a wrong baud rate: spoiled bytes and framing errors", wrongRate,
         "Opening COM port...done\r\n\r\nNo Pelorix detected on COM 3\r\n",
         "1 framing error on the line: check the baud rate", "no_valid_frame", 600},
        {"fAbortOnError left set with an error pending",
         set([](Driver& d) { d.abortPending = true; }), stored, "", "", 100},
        {"ClearCommError failing with nothing wrong", set([](Driver& d) { d.clearFails = true; }),
         stored, "", "", 200},
        {"a system message in French", french, notOpened,
         "QorvWriter: \\\\.\\COM3: Le fichier sp\xc3\xa9"
         "cifi\xc3\xa9 est introuvable\r\n",
         "open_failed", 10},
        {"a port list with an entry that cannot be read", unreadableEntry, notOpened,
         "QorvWriter:   COM4\r\n", "open_failed", 10},
        {"a port list that cannot be read", unreadableList, notOpened,
         "the list of serial ports could not be read (", "open_failed", 10},
    };
    for (DWORD error : std::vector<DWORD>{ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_GEN_FAILURE,
                                          ERROR_OPERATION_ABORTED, ERROR_DEVICE_NOT_CONNECTED,
                                          ERROR_DEVICE_REMOVED}) {
        cases.push_back({"unplugged at block 7 (" + std::to_string(error) + ")", unplug(error),
                         notStored,
                         "block 7 of 16: the line hung up or the device went away (error " +
                             std::to_string(error),
                         "hung_up", 560, [] { return seen.reads < 700 && seen.writes < 12; },
                         "no spin: a read about every millisecond"});
    }

    for (const Case& c : cases) {
        const Outcome got = run(c.driver);
        const int status = c.out == stored ? 0 : 1;
        expect(c.name, got.out == c.out, "standard output", got);
        expect(c.name, got.status == status, "exit status " + std::to_string(status), got);
        expect(c.name, c.err.empty() ? got.err.empty() : has(got.err, c.err),
               "standard error: " + c.err, got);
        expect(c.name, got.cause == c.cause, "record's cause " + c.cause, got);
        expect(c.name, got.ms <= c.maxMs, "done within " + std::to_string(c.maxMs) + " ms", got);
        expect(c.name, c.also(), c.alsoWhat, got);
        std::printf("%-60s %5lld ms\n", c.name.c_str(), static_cast<long long>(got.ms));
    }

    // Ctrl+C at the usage text's key wait is the key: exit 1, the console mode put back.
    Driver keyboard;
    keyboard.console = true;
    const Outcome key = run(keyboard, {"QorvWriter"});
    expect(
        "Ctrl+C at the key wait",
        key.status == 1 && !seen.processedInputAtKey && (consoleMode & ENABLE_PROCESSED_INPUT) != 0,
        "read as a key, console mode restored", key);

    DeleteFileA(settingsPath.c_str());
    DeleteFileA(recordPath.c_str());
    std::printf("%zu driver cases and the key wait: %d failed\n", cases.size(), failures);
    return failures == 0 ? 0 : 1;
}
