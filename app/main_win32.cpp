// The entry on Windows. The arguments arrive as Unicode and go on as UTF-8, so that a file name
// outside the ANSI code page reaches the file as typed.
#include <windows.h>

#include <string>
#include <vector>

#include "app/run.h"
#include "channel/win32_text.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> utf8(static_cast<size_t>(argc));
    std::vector<const char*> pointers;
    for (int i = 0; i < argc; ++i) {
        utf8[static_cast<size_t>(i)] = qorv::utf8FromWide(argv[i]);
        pointers.push_back(utf8[static_cast<size_t>(i)].c_str());
    }
    pointers.push_back(nullptr);
    return qorv::runCommand(argc, pointers.data());
}
