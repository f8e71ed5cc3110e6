// A serial line on a device server, reached over TCP: "socket://HOST:PORT" is the raw stream of
// the line (the server's own settings apply), "rfc2217://HOST:PORT" Telnet with the COM port
// control option (RFC 2217), through which the line gets the tool's settings. The Telnet side
// is shared; each platform gives the connection and the socket calls (net_posix.cpp,
// net_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qorv {
namespace platform {

using Socket = intptr_t;

// Whether the port argument names a device server (also for the reporting side, whatever the
// back end).
inline bool isNetworkName(const char* deviceName) {
    return std::strncmp(deviceName, "socket://", 9) == 0 ||
           std::strncmp(deviceName, "rfc2217://", 10) == 0;
}
// Resolves the name and connects, each within a few seconds; with rfc2217, sets the line (baud
// rate, 8 data bits, no parity, two stop bits or one where the server refuses two, no flow
// control) and purges the server's buffers. 0 with the connection in *socket, or an error code.
int openNetworkPort(const char* deviceName, int32_t baudRate, Socket* socket);
bool isNetworkPort(Socket socket);
// Whether the connection speaks Telnet (its bytes are filtered and escaped).
bool speaksTelnet(Socket socket);
// Takes the Telnet commands out of `count` received bytes, in place, answering the server's
// option requests; returns the data bytes left.
int32_t takeTelnet(Socket socket, uint8_t* bytes, int32_t count);
// Doubles every 0xFF of `count` bytes into `out` (room for twice as many); returns its length.
int32_t escapeTelnet(const uint8_t* bytes, int32_t count, uint8_t* out);
// Writes `count` bytes with `write` (the platform's own write, which keeps its first error in
// *ioError), each 0xFF doubled where the connection speaks Telnet; returns the data bytes written.
using WriteBytes = int32_t (*)(Socket socket, const uint8_t* bytes, int32_t count, int* ioError);
int32_t writeNetwork(Socket socket, const uint8_t* bytes, int32_t count, WriteBytes write,
                     int* ioError);
// Asks the server to discard both its buffers.
void purgeServer(Socket socket);
void closeNetworkPort(Socket socket);

// The platform's side.
// Splits "HOST:PORT" (an IPv6 host in brackets) and connects within `limitMs`; 0 with the
// socket, non-blocking and without Nagle's delay, or an error code.
int connectTo(const char* host, const char* port, int limitMs, Socket* socket);
// Sends all of `bytes`, waiting a little where the connection is full (shared).
void sendBytes(Socket socket, const uint8_t* bytes, size_t count);
// Sends what the connection takes now: the count sent; 0 when it is full, after waiting up to
// `waitMs` for room; -1 when it has failed.
int32_t sendSome(Socket socket, const uint8_t* bytes, size_t count, int waitMs);
// Receives what has come within `waitMs`: the count, 0 for nothing, -1 when the connection has
// ended.
int32_t receiveBytes(Socket socket, uint8_t* bytes, size_t count, int waitMs);
void closeSocket(Socket socket);
int64_t monotonicNowMs();

// Error codes of a network open beside the system's.
constexpr int ERROR_NAME_NOT_RESOLVED = -6;
constexpr int ERROR_BAD_ADDRESS = -7;

}  // namespace platform
}  // namespace qorv
