#include "channel/win32_text.h"

#include <cstdio>

namespace qorv {

std::wstring wideFromUtf8(const std::string& text) {
    const int count = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (count <= 1) {
        return L"";
    }
    std::wstring out(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], count);
    out.resize(static_cast<size_t>(count - 1));
    return out;
}

std::string utf8FromWide(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return "";
    }
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size - 1));
    return out;
}

void systemWording(DWORD error, char* out, size_t size) {
    wchar_t text[512];
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text, static_cast<DWORD>(sizeof text / sizeof text[0]), nullptr);
    // System messages end in CR LF; the caller puts the line end.
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' ||
                          text[length - 1] == L' ' || text[length - 1] == L'.')) {
        --length;
    }
    const int bytes = length == 0
                          ? 0
                          : WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out,
                                                static_cast<int>(size) - 1, nullptr, nullptr);
    if (bytes <= 0) {
        std::snprintf(out, size, "system error %lu", static_cast<unsigned long>(error));
        return;
    }
    out[bytes] = '\0';
}

std::string systemReason(DWORD error) {
    char reason[1024];
    systemWording(error, reason, sizeof reason);
    return reason;
}

}  // namespace qorv
