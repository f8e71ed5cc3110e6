// Result of every channel and protocol operation; 0 is success. Failures are returned, never
// thrown.
#pragma once

#include <cstdint>

namespace qorv {

using ResultCode = uint16_t;

constexpr ResultCode RESULT_OK = 0;
// The time limit passed without the wanted message (other messages may have arrived).
constexpr ResultCode RESULT_TIMEOUT = 2;
// The time limit passed and no message at all arrived.
constexpr ResultCode RESULT_NO_REPLY = 3;
// The device refused the request; its code is in DeviceChannel::deviceError.
constexpr ResultCode RESULT_DEVICE_ERROR = 6;
constexpr ResultCode RESULT_UNEXPECTED_REPLY = 10;
constexpr ResultCode RESULT_OPEN_FAILED = 11;
constexpr ResultCode RESULT_ALREADY_OPEN = 12;
constexpr ResultCode RESULT_END_OF_FILE = 13;
constexpr ResultCode RESULT_NOT_OPEN = 14;
constexpr ResultCode RESULT_NOT_ON_FILE = 17;

}  // namespace qorv
