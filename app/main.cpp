#include "app/run.h"

#ifdef _WIN32
#include <windows.h>

#include <string>
#include <vector>

// The arguments arrive as Unicode and go on as UTF-8, so that a file name outside the ANSI code
// page reaches the file as typed.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> utf8(static_cast<size_t>(argc));
    std::vector<const char*> pointers;
    for (int i = 0; i < argc; ++i) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string& text = utf8[static_cast<size_t>(i)];
        text.resize(size > 0 ? static_cast<size_t>(size) : 1u);
        WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &text[0], size, nullptr, nullptr);
        pointers.push_back(text.c_str());
    }
    pointers.push_back(nullptr);
    return qorv::runCommand(argc, pointers.data());
}
#else
int main(int argc, char** argv) {
    return qorv::runCommand(argc, argv);
}
#endif
