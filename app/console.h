// Console services of the run.
#pragma once

#include <cstddef>

namespace qorv {

// Makes the process safe to run whatever started it, before anything is opened: closed standard
// descriptors are opened on the null device (so that no port or file takes their place and
// receives console text), a closed standard output does not end the process, and a signal that
// ends it first releases the port and restores the terminal.
void prepareProcess();

// Writes UTF-8 text to standard output (or standard error) and flushes it. On a Windows
// console the text is shown as Unicode; elsewhere, and when redirected, the bytes go as they are.
void writeConsole(bool toError, const char* text, size_t length);

// Waits for one keystroke, read without echo; Ctrl+C counts as a key. Without a console on
// standard input it reads one byte or the end of the input, so that it never waits on input that
// cannot come.
void waitForKey();

}  // namespace qorv
