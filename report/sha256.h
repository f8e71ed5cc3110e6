// SHA-256 (FIPS 180-4) of a byte buffer, as 64 lowercase hexadecimal digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qorv {

std::string sha256Hex(const uint8_t* data, size_t length);

}  // namespace qorv
