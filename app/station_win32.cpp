// The station's processes on Windows: CreateProcessW with only the handles each store needs, a
// pipe per store for its progress feed, all in a job object that ends them with the station.
#include <windows.h>

#include <cstdio>
#include <cwctype>
#include <string>
#include <vector>

#include "app/station.h"
#include "app/station_system.h"
#include "channel/clock.h"
#include "channel/win32_text.h"

namespace qorv {
namespace station_system {

namespace {

// Set by the console's Ctrl+C, Ctrl+Break and close events; waited on by wait().
HANDLE stopEvent = nullptr;
// Set by wakeUp().
HANDLE wakeEvent = nullptr;
// Every store joins it: a station that ends any way takes its stores with it.
HANDLE stores = nullptr;

BOOL WINAPI onConsoleEvent(DWORD) {
    SetEvent(stopEvent);
    // The stores in this console get the event themselves and end as they do alone.
    return TRUE;
}

// A store's exit code, as the Ctrl+C that ends a console program leaves it.
constexpr DWORD ENDED_BY_STATION = 0xC000013A;

// An argument as the C runtime of the program started reads it back.
std::wstring commandArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

// This process's environment without QORV_PROGRESS, with `added` after it, as a block.
std::wstring environmentBlock(const std::vector<std::string>& added) {
    std::wstring block;
    wchar_t* own = GetEnvironmentStringsW();
    for (const wchar_t* variable = own; variable != nullptr && *variable != L'\0';
         variable += wcslen(variable) + 1) {
        if (_wcsnicmp(variable, L"QORV_PROGRESS=", 14) != 0) {
            block.append(variable);
            block += L'\0';
        }
    }
    if (own != nullptr) {
        FreeEnvironmentStringsW(own);
    }
    for (const std::string& variable : added) {
        block += wideFromUtf8(variable);
        block += L'\0';
    }
    return block + L'\0';
}

// Reads what a feed has; its whole lines go to `lines`. False at its end.
bool readFeed(Child* child) {
    HANDLE feed = reinterpret_cast<HANDLE>(child->feed);
    for (;;) {
        DWORD waiting = 0;
        if (!PeekNamedPipe(feed, nullptr, 0, nullptr, &waiting, nullptr)) {
            return false;
        }
        if (waiting == 0) {
            return true;
        }
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(feed, buffer, waiting < sizeof buffer ? waiting : sizeof buffer, &got,
                      nullptr) ||
            got == 0) {
            return false;
        }
        child->partial.append(buffer, got);
        for (size_t end; (end = child->partial.find('\n')) != std::string::npos;) {
            child->lines.push_back(child->partial.substr(0, end));
            child->partial.erase(0, end + 1);
        }
    }
}

void endFeed(Child* child) {
    if (child->feed != -1) {
        readFeed(child);
        CloseHandle(reinterpret_cast<HANDLE>(child->feed));
        child->feed = -1;
    }
}

}  // namespace

void prepare() {
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    stores = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (stores != nullptr) {
        SetInformationJobObject(stores, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
}

void wakeUp() {
    SetEvent(wakeEvent);
}

std::string writerPath() {
    wchar_t self[MAX_PATH * 4] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH * 4 - 1);
    std::wstring here(self, length);
    return utf8FromWide(
        (here.substr(0, here.find_last_of(L"\\/") + 1) + L"QorvWriter.exe").c_str());
}

bool start(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
           const std::string& logPath, Child* child, std::string* reason) {
    SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
    HANDLE feedRead = nullptr;
    HANDLE feedWrite = nullptr;
    if (!CreatePipe(&feedRead, &feedWrite, &inherited, 0)) {
        *reason = systemReason(GetLastError());
        return false;
    }
    SetHandleInformation(feedRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE log = CreateFileW(wideFromUtf8(logPath).c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherited, OPEN_EXISTING, 0, nullptr);
    const auto closeAll = [&] {
        for (HANDLE handle : {feedWrite, log, nothing}) {
            if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
                CloseHandle(handle);
            }
        }
    };
    if (log == INVALID_HANDLE_VALUE || nothing == INVALID_HANDLE_VALUE) {
        *reason = logPath + ": " + systemReason(GetLastError());
        closeAll();
        CloseHandle(feedRead);
        return false;
    }
    // Only these handles reach the store: the others' pipes stay theirs.
    HANDLE handed[] = {nothing, log, feedWrite};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> attributes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    InitializeProcThreadAttributeList(list, 1, 0, &size);
    UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handed, sizeof handed,
                              nullptr, nullptr);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = nothing;
    startup.StartupInfo.hStdOutput = log;
    startup.StartupInfo.hStdError = log;
    startup.lpAttributeList = list;
    std::wstring commandLine;
    for (const std::string& argument : arguments) {
        commandLine += (commandLine.empty() ? L"" : L" ") + commandArgument(wideFromUtf8(argument));
    }
    std::vector<std::string> variables = environment;
    variables.push_back("QORV_PROGRESS=" + std::to_string(reinterpret_cast<uintptr_t>(feedWrite)));
    std::wstring block = environmentBlock(variables);
    PROCESS_INFORMATION process{};
    const std::wstring program = wideFromUtf8(arguments[0]);
    const BOOL started =
        CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                       CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED,
                       &block[0], nullptr, &startup.StartupInfo, &process);
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(list);
    closeAll();
    if (!started) {
        *reason = arguments[0] + ": " + systemReason(error);
        CloseHandle(feedRead);
        return false;
    }
    if (stores != nullptr) {
        AssignProcessToJobObject(stores, process.hProcess);
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);
    child->process = reinterpret_cast<intptr_t>(process.hProcess);
    child->feed = reinterpret_cast<intptr_t>(feedRead);
    child->running = true;
    return true;
}

Wake wait(const std::vector<Child*>& children, int32_t ms) {
    // The stop event and the stores' processes; a feed cannot be waited on, so its lines are
    // read at least every 50 ms while stores run.
    std::vector<HANDLE> handles{stopEvent, wakeEvent};
    for (Child* child : children) {
        if (child->running && handles.size() < MAXIMUM_WAIT_OBJECTS) {
            handles.push_back(reinterpret_cast<HANDLE>(child->process));
        }
    }
    const DWORD bound = static_cast<DWORD>(handles.size() > 1 && ms > 50 ? 50 : ms);
    const DWORD woke =
        WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, bound);
    bool activity = woke != WAIT_TIMEOUT && woke != WAIT_OBJECT_0;
    for (Child* child : children) {
        if (child->running && child->feed != -1) {
            const size_t before = child->lines.size();
            if (!readFeed(child)) {
                endFeed(child);
            }
            activity = activity || child->lines.size() != before;
        }
    }
    if (woke == WAIT_OBJECT_0) {
        ResetEvent(stopEvent);
        return Wake::Stop;
    }
    return activity ? Wake::Activity : Wake::Timeout;
}

bool ended(Child* child, int* status) {
    if (!child->running ||
        WaitForSingleObject(reinterpret_cast<HANDLE>(child->process), 0) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(reinterpret_cast<HANDLE>(child->process), &code);
    endFeed(child);
    CloseHandle(reinterpret_cast<HANDLE>(child->process));
    child->running = false;
    *status = static_cast<int>(code);
    return true;
}

std::string howItEnded(int status) {
    char text[64];
    std::snprintf(text, sizeof text, "ended with status 0x%08lX",
                  static_cast<unsigned long>(static_cast<DWORD>(status)));
    return text;
}

// Windows ends a console program on Ctrl+C without letting it run on: its handles are closed,
// which releases the port. A store ended by the station ends the same way.
void askToEnd(Child* child) {
    endNow(child);
}

void endNow(Child* child) {
    if (child->running) {
        TerminateProcess(reinterpret_cast<HANDLE>(child->process), ENDED_BY_STATION);
    }
}

bool terminal(int* columns) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO screen{};
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode) || !GetConsoleScreenBufferInfo(out, &screen) ||
        !SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        return false;
    }
    *columns = screen.srWindow.Right - screen.srWindow.Left + 1;
    return true;
}

std::string temporaryDirectory() {
    wchar_t base[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH, base) == 0) {
        return "";
    }
    wchar_t name[64];
    std::swprintf(name, 64, L"qorv-station-%lu-%ld", GetCurrentProcessId(),
                  static_cast<long>(clock::nowMs()));
    const std::wstring path = std::wstring(base) + name;
    return CreateDirectoryW(path.c_str(), nullptr) ? utf8FromWide(path.c_str()) : "";
}

void removeDirectory(const std::string& path) {
    const std::wstring directory = wideFromUtf8(path);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                DeleteFileW((directory + L"\\" + found.cFileName).c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(directory.c_str());
}

std::string pathIn(const std::string& directory, const std::string& name) {
    return directory + "\\" + name;
}

bool makeDirectory(const std::string& path, std::string* reason) {
    const std::wstring wide = wideFromUtf8(path);
    if (CreateDirectoryW(wide.c_str(), nullptr)) {
        return true;
    }
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return true;
    }
    *reason = systemReason(error);
    return false;
}

std::FILE* openToRead(const std::string& path) {
    return _wfopen(wideFromUtf8(path).c_str(), L"rb");
}

std::string canonicalDevice(const std::string& device) {
    std::string same = device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
    for (char& c : same) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return same;
}

std::string quoted(const std::string& argument) {
    return argument.empty() || argument.find_first_of(" \t\"&|<>^") != std::string::npos
               ? "\"" + argument + "\""
               : argument;
}

}  // namespace station_system
}  // namespace qorv

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(qorv::utf8FromWide(argv[i]));
    }
    return qorv::runStation(arguments);
}
