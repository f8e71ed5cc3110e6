// The line settings the Win32 back end gives a port, computed from what the driver reported.
// Windows keeps a port's settings after the program that made them has ended, so every setting
// that could lose, change or add bytes is set here, not inherited.
#pragma once

#include <windows.h>

#include <cstdint>

namespace qorv {
namespace platform {

// 8 data bits, no parity, two stop bits (one with `twoStopBits` false), no flow control in
// either direction, binary mode, no byte dropped (fNull) or replaced (fErrorChar), no abort on
// a line error, RTS and DTR on (as a POSIX open raises them: USB CDC devices talk only while DTR
// is up). XON and XOFF characters that a driver would refuse as equal (a DCB the driver did not
// fill in) get their usual values.
void applyLineSettings(DCB* dcb, int32_t baudRate, bool twoStopBits);

// Error codes of this back end beside Windows' own, with the customer bit set so that they can
// never be one of them.
constexpr DWORD ERROR_TIMEOUTS_REFUSED = 0x20000001;

// Reads return at once with what has arrived, or after about 1 ms with nothing. A write may
// take 500 ms plus one byte time (rounded up, plus 1 ms) per byte, so a device that stops taking
// data ends the write instead of blocking it for ever.
void applyTimeouts(COMMTIMEOUTS* timeouts, int32_t baudRate, bool twoStopBits);

}  // namespace platform
}  // namespace qorv
