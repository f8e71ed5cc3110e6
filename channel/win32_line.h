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
// never be one of them: a read or write the driver never ended, even when cancelled.
constexpr DWORD ERROR_DRIVER_STOPPED = 0x20000002;

// A port read returns within about 1 ms (a driver on a timer tick: 15.6 ms). One still running
// after this long is cancelled, which ends it with what it has read: a driver that ignores the
// read time limits (as wine does on an overlapped port) then still reads at about this pace, and
// nothing is lost. A write is given its own time limit first.
constexpr DWORD READ_BOUND_MS = 5;
// A call cancelled that does not end within this long is left to the driver: the port is not
// used again. So a call the driver never completes ends the exchange at most READ_BOUND_MS plus
// this after its time limit.
constexpr DWORD CANCEL_BOUND_MS = 50;
// An open refused as in use (or a driver that did not respond to it) is tried again for this
// long: a port another program (or this tool's previous run) has just closed, or an adapter
// just plugged back, is refused for a moment.
constexpr DWORD OPEN_RETRY_MS = 1000;
constexpr DWORD OPEN_RETRY_PAUSE_MS = 100;

// Reads return at once with what has arrived, or after about 1 ms with nothing. A write may
// take 500 ms plus one byte time (rounded up, plus 1 ms) per byte, so a device that stops taking
// data ends the write instead of blocking it for ever.
void applyTimeouts(COMMTIMEOUTS* timeouts, int32_t baudRate, bool twoStopBits);

}  // namespace platform
}  // namespace qorv
