// What the run writes, on Windows: console text and the files beside its work.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cwctype>
#include <string>

#include "channel/win32_text.h"
#include "report/messages.h"
#include "report/output_file.h"

namespace qorv {

namespace {

// A device named as a file ("NUL", "COM3", "\\.\COM3", "CON.txt"): never opened at all, since
// opening a port or a console does something of its own.
bool namesADevice(const std::wstring& path) {
    if (path.rfind(L"\\\\.\\", 0) == 0) {
        return true;
    }
    const size_t slash = path.find_last_of(L"\\/:");
    std::wstring name = path.substr(slash == std::wstring::npos ? 0 : slash + 1);
    name = name.substr(0, name.find(L'.'));
    while (!name.empty() && name.back() == L' ') {
        name.pop_back();
    }
    for (wchar_t& c : name) {
        c = static_cast<wchar_t>(towupper(c));
    }
    if (name == L"CON" || name == L"PRN" || name == L"AUX" || name == L"NUL" || name == L"CONIN$" ||
        name == L"CONOUT$") {
        return true;
    }
    return name.size() == 4 && (name.rfind(L"COM", 0) == 0 || name.rfind(L"LPT", 0) == 0) &&
           name[3] >= L'0' && name[3] <= L'9';
}

bool sameFile(HANDLE file, const std::wstring& other) {
    HANDLE handle =
        CreateFileW(other.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    const bool same = GetFileInformationByHandle(file, &a) &&
                      GetFileInformationByHandle(handle, &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                      a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(handle);
    return same;
}

}  // namespace

bool environmentValue(const char* name, std::string* value) {
    // From the system, not the C runtime, whose calls for it Visual Studio deprecates.
    const std::wstring wideName = wideFromUtf8(name);
    const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (size <= 1) {
        return false;
    }
    std::wstring text(size, L'\0');
    GetEnvironmentVariableW(wideName.c_str(), &text[0], size);
    *value = utf8FromWide(text.c_str());
    return !value->empty();
}

std::string errorText(int errnoValue) {
    char text[256];
    strerror_s(text, sizeof text, errnoValue);
    return text;
}

namespace output_system {

std::string refusalBeforeOpening(const std::string& path) {
    const std::wstring name = wideFromUtf8(path);
    if (namesADevice(name)) {
        return "it names a device, not a disk file";
    }
    const DWORD attributes = GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
               ? "it is a directory"
               : "";
}

bool open(const std::string& path, bool append, Handle* handle, bool* created,
          std::string* reason) {
    HANDLE file = CreateFileW(wideFromUtf8(path).c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *reason = systemReason(GetLastError());
        return false;
    }
    *created = GetLastError() != ERROR_ALREADY_EXISTS;
    *handle = reinterpret_cast<Handle>(file);
    return true;
}

std::string refusalOf(Handle handle) {
    return GetFileType(reinterpret_cast<HANDLE>(handle)) == FILE_TYPE_DISK
               ? ""
               : "it is not a disk file";
}

bool isFile(Handle handle, const char* other) {
    return sameFile(reinterpret_cast<HANDLE>(handle), wideFromUtf8(other));
}

bool empty(Handle handle, std::string* reason) {
    if (!SetEndOfFile(reinterpret_cast<HANDLE>(handle))) {
        *reason = systemReason(GetLastError());
        return false;
    }
    return true;
}

void discard(Handle handle, const std::string& path, bool created) {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    if (created) {
        DeleteFileW(wideFromUtf8(path).c_str());
    }
}

std::FILE* stream(Handle handle, bool append, const std::string& path, bool created,
                  std::string* reason) {
    const int fd = _open_osfhandle(handle, _O_WRONLY | (append ? _O_APPEND | _O_BINARY : _O_TEXT));
    if (fd < 0) {
        *reason = "it cannot be written";
        discard(handle, path, created);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, append ? "ab" : "w");
    if (file == nullptr) {
        _close(fd);
        *reason = "it cannot be written";
    }
    return file;
}

bool descriptorForLines(long number, Handle* handle, std::string* reason) {
    HANDLE given = reinterpret_cast<HANDLE>(static_cast<intptr_t>(number));
    for (DWORD standard : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
        if (given == GetStdHandle(standard)) {
            *reason = "it is standard input, output or error";
            return false;
        }
    }
    const DWORD type = number == 0 ? FILE_TYPE_UNKNOWN : GetFileType(given);
    if (type == FILE_TYPE_UNKNOWN || type == FILE_TYPE_CHAR) {
        *reason = "it is no pipe or file this program was given";
        return false;
    }
    if (type == FILE_TYPE_PIPE) {
        DWORD noWait = PIPE_NOWAIT;
        SetNamedPipeHandleState(given, &noWait, nullptr, nullptr);
    }
    *handle = reinterpret_cast<Handle>(given);
    return true;
}

bool writeLine(Handle handle, const char* line, size_t length) {
    DWORD put = 0;
    if (WriteFile(reinterpret_cast<HANDLE>(handle), line, static_cast<DWORD>(length), &put,
                  nullptr)) {
        // A full pipe takes nothing: the line is lost.
        return true;
    }
    return false;
}

}  // namespace output_system

bool appendWholeLine(std::FILE* file, const std::string& line, int* error) {
    const int fd = _fileno(file);
    const int put = _write(fd, line.data(), static_cast<unsigned>(line.size()));
    if (put == static_cast<int>(line.size())) {
        return true;
    }
    *error = put < 0 ? errno : ENOSPC;
    if (put > 0) {
        const __int64 end = _lseeki64(fd, 0, SEEK_CUR);
        if (end >= put && _filelengthi64(fd) == end) {
            _chsize_s(fd, end - put);
        }
    }
    return false;
}

void writeConsole(bool toError, const char* text, size_t length) {
    std::FILE* stream = toError ? stderr : stdout;
    HANDLE handle = GetStdHandle(toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
        // Redirected: UTF-8 bytes, line ends as the C runtime's text mode writes them.
        std::fwrite(text, 1, length, stream);
        std::fflush(stream);
        return;
    }
    std::fflush(stream);
    const int count = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0);
    if (count <= 0) {
        return;
    }
    std::wstring wide(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(length), &wide[0], count);
    DWORD written = 0;
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(count), &written, nullptr);
}

bool utcTime(std::time_t time, std::tm* parts) {
    return gmtime_s(parts, &time) == 0;
}

const char* permissionHint() {
    return "permission denied: this user may not open the port";
}

bool errorCodesShown() {
    return true;
}

}  // namespace qorv
