// Text of the Windows side of the run: the run's text is UTF-8 throughout, the system's is wide.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace qorv {

std::wstring wideFromUtf8(const std::string& text);
std::string utf8FromWide(const wchar_t* text);
// The system's wording of an error code, in its own language and as UTF-8, without the final
// full stop or line end; "system error N" where it has none. Allocates nothing.
void systemWording(DWORD error, char* out, size_t size);
std::string systemReason(DWORD error);

}  // namespace qorv
