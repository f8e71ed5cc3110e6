#include <conio.h>
#include <windows.h>

#include "app/console.h"

namespace qorv {

// Windows gives a console program no signals that leave state behind, and no descriptor of a
// closed standard stream is taken by a port or a file.
void prepareProcess() {}

void waitForKey() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode)) {
        _getch();
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
