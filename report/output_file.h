// Files the run writes beside its work (the wire trace), opened under one set of rules: only a
// regular file, created when missing; never a device, a FIFO or a directory, never the settings
// file or the port under any name or link; and opening never blocks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

namespace qorv {

// The value of environment variable `name` as UTF-8 (read as wide text on Windows); false when
// it is not set or empty.
bool environmentValue(const char* name, std::string* value);

// The C runtime's text for an errno value.
std::string errorText(int errnoValue);

// `time` as UTC calendar time.
bool utcTime(std::time_t time, std::tm* parts);
// What to do about a port this user may not open, as this system arranges access to ports.
const char* permissionHint();
// Whether the system's error codes mean something to a user (Windows'), so that explanations
// give them beside the system's text.
bool errorCodesShown();

enum OutputKind {
    OUTPUT_TEXT_EMPTIED,    // emptied, then text (CR LF line ends on Windows)
    OUTPUT_LINES_APPENDED,  // appended to, bytes as they are
};

// A file that an output file must not be, and what it is called in the refusal.
struct OtherFile {
    const char* path;  // null: none
    const char* what;
};

// Opens `path` (UTF-8) for writing, unless it is the settings file, the port device or the
// other output file (the trace's or the record's, which would empty or mix into this one).
// Returns null, with the reason in `reason`, when the file is refused or cannot be opened; a
// file this call created is then removed again.
std::FILE* openOutputFile(const std::string& path, OutputKind kind, const char* settingsPath,
                          const char* portDevice, OtherFile otherOutput, std::string* reason);

// A file the run opened and closes.
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using OwnedFile = std::unique_ptr<std::FILE, FileCloser>;

// Appends `line` to a file opened OUTPUT_LINES_APPENDED in one write, whole or not at all: a
// write cut short (a full disk, the file size limit) is taken back, unless another writer has
// appended behind it meanwhile. False with the C runtime's errno value in `error` on failure.
bool appendWholeLine(std::FILE* file, const std::string& line, int* error);

// The system's part of opening an output file (output_posix.cpp, output_win32.cpp); the rules
// are in output_file.cpp.
namespace output_system {

using Handle = intptr_t;

// A reason to refuse `path` without opening it (a directory, a device: opening one does
// something of its own), or "".
std::string refusalBeforeOpening(const std::string& path);
// Opens for writing, creating the file when missing, without blocking; `created` says whether
// this call created it. False with the system's reason.
bool open(const std::string& path, bool append, Handle* handle, bool* created, std::string* reason);
// A reason to refuse what was opened (no regular or disk file), or "".
std::string refusalOf(Handle handle);
// Whether `handle` is the file at `other`, under any name or link.
bool isFile(Handle handle, const char* other);
bool empty(Handle handle, std::string* reason);
// Closes the handle, and removes the file when `created` says this run made it.
void discard(Handle handle, const std::string& path, bool created);
// The handle as a C stream (text for OUTPUT_TEXT_EMPTIED); null with the reason, the handle then
// discarded.
std::FILE* stream(Handle handle, bool append, const std::string& path, bool created,
                  std::string* reason);

// A descriptor the program was started with (on Windows an inherited handle's number), to write
// lines to: refused when it is standard input, output or error, not open, or not writable. A
// pipe is made not to block, so that a reader that stops reading loses lines, never holds the
// run.
bool descriptorForLines(long number, Handle* handle, std::string* reason);
// Writes one line to such a descriptor; false when the reader has gone.
bool writeLine(Handle handle, const char* line, size_t length);

}  // namespace output_system
}  // namespace qorv
