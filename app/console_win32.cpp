#include <conio.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/console.h"

namespace qorv {

// Windows gives a console program no signals that leave state behind, and no descriptor of a
// closed standard stream is taken by a port or a file.
void prepareProcess() {}

namespace {

// Ctrl+C while the key is awaited is the key, not the end of the process.
BOOL WINAPI ignoreCtrlC(DWORD event) {
    return event == CTRL_C_EVENT ? TRUE : FALSE;
}

}  // namespace

void waitForKey() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode)) {
        // _getch cannot read Ctrl+C while the console processes it as a signal: without
        // ENABLE_PROCESSED_INPUT it arrives as the key 0x03. The handler covers a console that
        // raises the event all the same.
        SetConsoleCtrlHandler(ignoreCtrlC, TRUE);
        SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_PROCESSED_INPUT));
        _getch();
        SetConsoleMode(input, mode);
        SetConsoleCtrlHandler(ignoreCtrlC, FALSE);
        return;
    }
    // Redirected or absent input (a pipe, a file, a service): one byte or the end of the input.
    if (input != nullptr && input != INVALID_HANDLE_VALUE) {
        char key;
        DWORD got = 0;
        ReadFile(input, &key, 1, &got, nullptr);
    }
}

}  // namespace qorv
