// A serial line on a device server, reached over TCP: "socket://HOST:PORT" is the raw stream of
// the line (the server's own settings apply), "rfc2217://HOST:PORT" Telnet with the COM port
// control option (RFC 2217), through which the line gets the tool's settings. The same on every
// platform, over its sockets (channel/net.h).
#pragma once

#include <cstdint>

#include "channel/line.h"
#include "channel/port_spec.h"

namespace qorv {

// Connects within `untilMs` and, over Telnet, sets the line (baud rate, 8 data bits, no parity,
// two stop bits or one where the server refuses two, no flow control) and purges the server's
// buffers, within a second more. 0 with the line made in `slot`, or an error code.
int openServerLine(const PortSpec& port, int32_t baudRate, int32_t untilMs, LineSlot* slot,
                   Line** line);

// What a device server's own error codes (channel/net.h) mean, or null for any other code.
const char* serverErrorText(int code);

}  // namespace qorv
