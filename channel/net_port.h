// A serial line on a device server, reached over TCP: "socket://HOST:PORT" is the raw stream of
// the line (the server's own settings apply), "rfc2217://HOST:PORT" Telnet with the COM port
// control option (RFC 2217), through which the line gets the tool's settings. POSIX back end.
#pragma once

#include <cstdint>

namespace qorv {
namespace platform {

bool isNetworkName(const char* deviceName);
// Resolves the name and connects, each within a few seconds; with rfc2217, sets the line (baud
// rate, 8 data bits, no parity, two stop bits or one where the server refuses two, no flow
// control) and purges the server's buffers. 0 with the socket in *fd, or an error code.
int openNetworkPort(const char* deviceName, int32_t baudRate, int* fd);
// Whether `fd` is a connection that speaks Telnet (its bytes are filtered and escaped).
bool speaksTelnet(int fd);
// Takes the Telnet commands out of `count` received bytes, in place, answering the server's
// option requests; returns the data bytes left.
int32_t takeTelnet(int fd, uint8_t* bytes, int32_t count);
// Doubles every 0xFF of `count` bytes into `out` (room for twice as many); returns its length.
int32_t escapeTelnet(const uint8_t* bytes, int32_t count, uint8_t* out);
// Asks the server to discard both its buffers.
void purgeServer(int fd);
void forgetNetworkPort(int fd);

// Error codes of a network open beside errno's (negative, as the back end's own are).
constexpr int ERROR_NAME_NOT_RESOLVED = -6;
constexpr int ERROR_BAD_ADDRESS = -7;

}  // namespace platform
}  // namespace qorv
