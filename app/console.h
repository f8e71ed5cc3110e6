// The process and the console around the run: set-up before anything is opened, and the key
// wait after the usage text.
#pragma once

#include <cstddef>

namespace qorv {

// Makes the process safe to run whatever started it, before anything is opened: closed standard
// descriptors are opened on the null device (so that no port or file takes their place and
// receives console text), a closed standard output does not end the process, and a signal that
// ends it first releases the port and restores the terminal.
void prepareProcess();

// Waits for one keystroke, read without echo; Ctrl+C counts as a key. Without a console on
// standard input it reads one byte or the end of the input, so that it never waits on input that
// cannot come.
void waitForKey();

}  // namespace qorv
