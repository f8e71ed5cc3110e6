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
// never be one of them: a request the driver never ended (a read or write even when cancelled).
constexpr DWORD ERROR_DRIVER_STOPPED = 0x20000002;

// A read is made for bytes the driver says are queued, which it gives at once; one still running
// after this long (longer than a few system ticks) is cancelled, which ends it with what it has.
constexpr DWORD READ_BOUND_MS = 40;
// A read or write cancelled that does not end within this long is left to the driver: the port
// is not used again. READ_BOUND_MS and this fit in REQUEST_BOUND_MS.
constexpr DWORD CANCEL_BOUND_MS = 50;
// A request to the driver other than a read or write (status, purge, settings, modem lines) is
// given this long, beyond any wait it is asked for, while the port is in use, and
// OPEN_REQUEST_BOUND_MS while it is being opened (a Bluetooth link's driver takes its time); one
// that does not end is left to the driver, and the port is not used again.
constexpr int32_t REQUEST_BOUND_MS = 100;
constexpr int32_t OPEN_REQUEST_BOUND_MS = 1000;
// An open refused as in use (or a driver that did not respond to it) is tried again for this
// long: a port another program (or this tool's previous run) has just closed, or an adapter
// just plugged back, is refused for a moment.
constexpr DWORD OPEN_RETRY_MS = 1000;
constexpr DWORD OPEN_RETRY_PAUSE_MS = 100;

// Reads return at once with what has arrived, or after about 1 ms with nothing. A write may
// take 500 ms plus one byte time (rounded up, plus 1 ms) per byte, so that a driver ends a write
// to a device that stops taking data even if its cancel were lost; the line cancels it earlier,
// at the deadline the write serves.
void applyTimeouts(COMMTIMEOUTS* timeouts, int32_t baudRate, bool twoStopBits);

}  // namespace platform
}  // namespace qorv
