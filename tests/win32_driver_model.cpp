// The whole tool, unchanged, against a model of what Windows' serial drivers are documented to
// do where wine does not do it: busy and missing ports, refused settings and timeouts, write
// timeouts, unplugging, fAbortOnError, failing ClearCommError; and the console's Ctrl+C, the
// system's language and the registry's port list. The model takes the place of kernel32's (and
// advapi32's, msvcrt's) functions by defining their import pointers, which the linker takes
// instead of the import libraries'; everything else is the real Win32 under wine. A device
// answers the frames, and the clock is the model's, so every case is exact and quick.
// Run by the Windows suite; exits 0 when every case holds.
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/run.h"
#include "channel/device_channel.h"
#include "sim/device.h"

namespace {

using Bytes = std::vector<uint8_t>;

HANDLE const PORT = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5EED0));

// What the driver of the one port does; set by each case.
struct Driver {
    DWORD openError = 0;
    bool getStateFails = false;
    bool refuseTwoStopBits = false;
    bool refuseEveryState = false;
    bool refuseTimeouts = false;
    bool abortPending = false;
    bool clearFails = false;
    // From the store block with this number (1-16) on: writes time out, taking a few bytes each.
    int stallAtBlock = 0;
    // From the store block with this number on: every call fails with `unplugError`.
    int unplugAtBlock = 0;
    DWORD unplugError = 0;
    bool frenchMessages = false;
    std::vector<LSTATUS> registry;  // RegEnumValueW results by index; the first is RegOpenKeyExW
    bool console = false;
};

struct Observed {
    DCB dcb{};
    bool stateSet = false;
    COMMTIMEOUTS timeouts{};
    bool timeoutsSet = false;
    bool dtr = false;
    bool rts = false;
    int reads = 0;
    int writes = 0;
    bool hung = false;
    int blocksWritten = 0;
    bool unplugged = false;
    bool processedInputAtKey = true;
    DWORD consoleModeAfter = 0;
    Bytes wire;
};

Driver driver;
Observed seen;
int64_t nowUs = 0;
std::deque<std::pair<int64_t, uint8_t>> toTool;
Bytes fromTool;

template <typename Function>
Function real(const wchar_t* module, const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(module), name)));
}

// The device answers each whole request 1 ms after it was written.
pelorix::Device device{pelorix::EXPECTED_DEVICE_IDENTITY, {}};

void deviceTakes(const uint8_t* bytes, DWORD count) {
    fromTool.insert(fromTool.end(), bytes, bytes + count);
    Bytes request;
    while (pelorix::takeFrame(fromTool, &request)) {
        for (const pelorix::Emission& emission : device.take(request).emissions) {
            for (uint8_t byte : emission.bytes) {
                toTool.emplace_back(nowUs + 1000 + emission.afterUs, byte);
            }
        }
    }
}

bool unplugged() {
    return driver.unplugAtBlock > 0 && seen.blocksWritten >= driver.unplugAtBlock;
}

// An unplugged port, or one with an error pending under fAbortOnError, fails every read and
// write.
bool failsNow() {
    if (unplugged() || driver.abortPending) {
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

HANDLE WINAPI fakeCreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                              HANDLE) {
    if (std::strncmp(name, "\\\\.\\COM", 7) != 0 || driver.openError != 0) {
        SetLastError(driver.openError != 0 ? driver.openError : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
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
    // Drivers check the DCB as a whole; equal XON and XOFF characters are refused.
    if (driver.refuseEveryState || dcb->XonChar == dcb->XoffChar ||
        (driver.refuseTwoStopBits && dcb->StopBits == TWOSTOPBITS)) {
        return refused();
    }
    seen.dcb = *dcb;
    seen.stateSet = true;
    return TRUE;
}

BOOL WINAPI fakeGetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
    // Inherited all zero: a read then waits until data comes.
    ZeroMemory(timeouts, sizeof *timeouts);
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
    toTool.erase(toTool.begin(), toTool.begin() + static_cast<long>(available()));
    return TRUE;
}

BOOL WINAPI fakeClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT status) {
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
        *errors = 0;
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
    *got = 0;
    if (failsNow()) {
        return FALSE;
    }
    const COMMTIMEOUTS& t = seen.timeouts;
    const bool returnsAtOnce = seen.timeoutsSet && t.ReadIntervalTimeout == MAXDWORD &&
                               t.ReadTotalTimeoutMultiplier == MAXDWORD;
    if (available() == 0) {
        const int64_t next = toTool.empty() ? INT64_MAX : toTool.front().first;
        const int64_t limit =
            returnsAtOnce ? nowUs + 1000LL * t.ReadTotalTimeoutConstant : INT64_MAX;
        if (next > limit) {
            nowUs = limit;
            return TRUE;
        }
        if (next == INT64_MAX) {
            // Waits until data comes, and none will: the run hangs here.
            seen.hung = true;
            nowUs += 60'000'000;
            return TRUE;
        }
        nowUs = next;
    }
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (*got < count && available() > 0) {
        out[(*got)++] = toTool.front().second;
        toTool.pop_front();
    }
    return TRUE;
}

BOOL WINAPI fakeWriteFile(HANDLE handle, LPCVOID buffer, DWORD count, LPDWORD put,
                          LPOVERLAPPED overlapped) {
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    if (handle != PORT) {
        static const auto writeFile = real<decltype(&WriteFile)>(L"kernel32.dll", "WriteFile");
        return writeFile(handle, bytes, count, put, overlapped);
    }
    *put = 0;
    ++seen.writes;
    if (count > 2 && bytes[2] == 0x96) {
        ++seen.blocksWritten;
    }
    if (failsNow()) {
        return FALSE;
    }
    if (driver.stallAtBlock > 0 && seen.blocksWritten >= driver.stallAtBlock) {
        // A timed-out write completes, successfully, with what went out before the timeout.
        const COMMTIMEOUTS& t = seen.timeouts;
        nowUs += 1000LL * (t.WriteTotalTimeoutConstant + t.WriteTotalTimeoutMultiplier * count);
        *put = count < 8 ? count / 2 : 8;
    } else {
        *put = count;
    }
    seen.wire.insert(seen.wire.end(), bytes, bytes + *put);
    deviceTakes(bytes, *put);
    return TRUE;
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
        const std::wstring port = L"COM" + std::to_wstring(index + 4);
        wcsncpy(name, L"\\Device\\Serial", *nameSize);
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
decltype(&Sleep) __imp_Sleep = fakeSleep;
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

// The model's clock is the channel's.
int32_t qorv::DeviceChannel::nowMs() {
    return static_cast<int32_t>(nowUs / 1000);
}

namespace {

// A standard stream taken into a file for the length of one run.
class Capture {
  public:
    explicit Capture(int fd) : fd(fd) {}
    void begin() {
        std::fflush(nullptr);
        std::FILE* file = std::tmpfile();
        target = file;
        saved = _dup(fd);
        _dup2(_fileno(file), fd);
        // As a redirected standard stream is: text, CR LF line ends.
        _setmode(fd, _O_TEXT);
    }
    std::string end() {
        std::fflush(nullptr);
        _dup2(saved, fd);
        _close(saved);
        std::string text;
        std::rewind(target);
        char chunk[4096];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, target)) > 0) {
            text.append(chunk, got);
        }
        std::fclose(target);
        return text;
    }

  private:
    int fd;
    int saved = -1;
    std::FILE* target = nullptr;
};

struct Outcome {
    int status;
    std::string out;
    std::string err;
    int64_t ms;
};

std::string settingsPath;

Outcome run(const Driver& scenario, std::vector<const char*> arguments = {}) {
    driver = scenario;
    seen = Observed{};
    nowUs = 0;
    toTool.clear();
    fromTool.clear();
    device = pelorix::Device(pelorix::EXPECTED_DEVICE_IDENTITY, {});
    if (arguments.empty()) {
        arguments = {"QorvWriter", settingsPath.c_str(), "3"};
    }
    Capture out(1);
    Capture err(2);
    out.begin();
    err.begin();
    const int status = qorv::runCommand(static_cast<int>(arguments.size()), arguments.data());
    Outcome outcome{status, "", "", nowUs / 1000};
    outcome.err = err.end();
    outcome.out = out.end();
    return outcome;
}

int failures = 0;

void expect(const std::string& name, bool holds, const std::string& what, const Outcome& got) {
    if (!holds) {
        std::printf("FAILED %s: %s\n  exit %d after %lld ms\n  stdout: %s\n  stderr: %s\n",
                    name.c_str(), what.c_str(), got.status, static_cast<long long>(got.ms),
                    got.out.c_str(), got.err.c_str());
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
        int status;
        std::string err;  // a part of standard error; empty: standard error stays empty
        int64_t maxMs;
        std::function<bool()> also;
        std::string alsoWhat;
    };
    const auto none = [] { return true; };
    std::vector<Case> cases;
    const auto add = [&](Case c) { cases.push_back(std::move(c)); };
    Driver d;
    add({"a normal store", d, stored, 0, "", 100,
         [] {
             return seen.dcb.StopBits == TWOSTOPBITS &&
                    seen.dcb.fDtrControl == DTR_CONTROL_ENABLE && !seen.dcb.fAbortOnError &&
                    !seen.dcb.fOutxCtsFlow && seen.dcb.ByteSize == 8 && seen.dtr && seen.rts &&
                    seen.wire.size() == 1199;
         },
         "8N2, no flow control, no abort on error, DTR and RTS raised, the whole sequence sent"});
    for (const auto& [error, hint] : std::vector<std::pair<DWORD, std::string>>{
             {ERROR_FILE_NOT_FOUND, "there is no such port"},
             {ERROR_ACCESS_DENIED, "another program holds the port"},
             {ERROR_SHARING_VIOLATION, "another program holds the port"},
             {ERROR_SEM_TIMEOUT, "the adapter's driver did not respond"},
             {ERROR_GEN_FAILURE, "the adapter's driver did not respond"}}) {
        d = Driver{};
        d.openError = error;
        add({"open failing with " + std::to_string(error), d, notOpened, 1, hint, 10, none, ""});
    }
    d = Driver{};
    d.refuseTwoStopBits = true;
    add({"two stop bits refused", d, stored, 0, "", 100,
         [] { return seen.dcb.StopBits == ONESTOPBIT; }, "one stop bit"});
    d = Driver{};
    d.refuseEveryState = true;
    add({"every line setting refused", d, notOpened, 1,
         "the port did not take the line settings (115200 baud", 10, none, ""});
    d = Driver{};
    d.getStateFails = true;
    add({"settings not reported", d, stored, 0, "", 100,
         [] { return seen.dcb.XonChar != seen.dcb.XoffChar && seen.dcb.DCBlength == sizeof(DCB); },
         "a complete DCB"});
    d = Driver{};
    d.refuseTimeouts = true;
    add({"read timeouts refused", d, notOpened, 1,
         "the driver did not take the port's read time limits", 10, [] { return !seen.hung; },
         "no read that waits for ever"});
    d = Driver{};
    d.stallAtBlock = 5;
    add({"write timeout at block 5", d, notStored, 1,
         "block 5 of 16: the device or the adapter stopped taking data", 800,
         [] { return seen.blocksWritten == 5; }, "no block after it"});
    for (DWORD error : {ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_OPERATION_ABORTED,
                        ERROR_DEVICE_NOT_CONNECTED}) {
        d = Driver{};
        d.unplugAtBlock = 7;
        d.unplugError = error;
        add({"unplugged at block 7 (" + std::to_string(error) + ")", d, notStored, 1,
             "block 7 of 16: the line hung up or the device went away (error " +
                 std::to_string(error),
             560, [] { return seen.reads < 700 && seen.writes < 12; },
             "no spin: a read about every millisecond"});
    }
    d = Driver{};
    d.abortPending = true;
    add({"fAbortOnError left set with an error pending", d, stored, 0, "", 100, none, ""});
    d = Driver{};
    d.clearFails = true;
    add({"ClearCommError failing with nothing wrong", d, stored, 0, "", 200, none, ""});
    d = Driver{};
    d.openError = ERROR_FILE_NOT_FOUND;
    d.frenchMessages = true;
    add({"a system message in French", d, notOpened, 1,
         "QorvWriter: \\\\.\\COM3: Le fichier sp\xc3\xa9"
         "cifi\xc3\xa9 est introuvable\r\n",
         10, none, ""});
    d = Driver{};
    d.openError = ERROR_FILE_NOT_FOUND;
    d.registry = {ERROR_SUCCESS, ERROR_MORE_DATA, ERROR_SUCCESS};
    add({"a port list with an entry that cannot be read", d, notOpened, 1, "QorvWriter:   COM5\r\n",
         10, none, ""});
    d.registry = {ERROR_ACCESS_DENIED};
    add({"a port list that cannot be read", d, notOpened, 1,
         "the list of serial ports could not be read (", 10, none, ""});

    for (const Case& c : cases) {
        const Outcome got = run(c.driver);
        expect(c.name, got.out == c.out, "standard output", got);
        expect(c.name, got.status == c.status, "exit status " + std::to_string(c.status), got);
        expect(c.name, c.err.empty() ? got.err.empty() : has(got.err, c.err),
               "standard error: " + c.err, got);
        expect(c.name, got.ms <= c.maxMs, "done within " + std::to_string(c.maxMs) + " ms", got);
        expect(c.name, c.also(), c.alsoWhat, got);
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
    std::printf("%zu driver cases and the key wait: %d failed\n", cases.size(), failures);
    return failures == 0 ? 0 : 1;
}
