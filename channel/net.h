// The platform's sockets, for the line to a device server (server_line.cpp); each platform gives
// them (net_posix.cpp, net_win32.cpp). Every wait is given in milliseconds by the caller, which
// takes them from the clock and its deadline.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qorv {
namespace platform {

using Socket = intptr_t;

// Resolves `host` and connects to its addresses in turn, all of it no later than `untilMs` on the
// clock (a resolver that does not answer by then is given up); 0 with the socket, non-blocking
// and without Nagle's delay, or an error code.
int connectTo(const char* host, uint16_t port, int32_t untilMs, Socket* socket);
// Sends what the connection takes now: the count sent; 0 when it is full, after waiting up to
// `waitMs` for room; -1 when it has failed.
int32_t sendSome(Socket socket, const uint8_t* bytes, size_t count, int32_t waitMs);
// Receives what has come within `waitUs` microseconds: the count, 0 for nothing, -1 when the
// connection has ended.
int32_t receiveBytes(Socket socket, uint8_t* bytes, size_t count, int32_t waitUs);
void closeSocket(Socket socket);
// This platform's codes of a connection the server ended, and of a send it did not take.
int connectionEndedError();
int sendStalledError();

// Error codes of a device server's open beside the system's.
constexpr int ERROR_NAME_NOT_RESOLVED = -6;
constexpr int ERROR_BAD_ADDRESS = -7;
constexpr int ERROR_NAME_TOO_SLOW = -8;
// The server did not take the line settings in time: it does not read.
constexpr int ERROR_SERVER_NOT_READING = -9;

}  // namespace platform
}  // namespace qorv
