// POSIX back end of DeviceChannel: its lines (a tty, tty_line_posix.cpp, or a device server),
// files through open/read, and what its error codes mean.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "channel/net.h"
#include "channel/platform.h"
#include "channel/posix_codes.h"
#include "channel/server_line.h"
#include "channel/tty_extras.h"

namespace qorv {
namespace platform {

void portDeviceName(int32_t portNumber, char* out, size_t size) {
    // COM1 is the first serial device, /dev/ttyS0.
    std::snprintf(out, size, "/dev/ttyS%lld", static_cast<long long>(portNumber) - 1);
}

int openLine(const PortSpec& port, int32_t baudRate, int32_t inQueueSize, int32_t outQueueSize,
             int32_t untilMs, LineSlot* slot, Line** line, OpenFailure* failure) {
    preciseWaits();
    if (port.kind == PortKind::Server) {
        return openServerLine(port, baudRate, untilMs, slot, line);
    }
    return openTty(port.device, baudRate, inQueueSize, outQueueSize, slot, line, failure);
}

int openFile(const char* path, OsHandle* handle) {
    // O_NONBLOCK only for the open itself, so that a FIFO or a device cannot hold it up.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno;
    }
    // Only a regular file comes to an end: a terminal, a device or a FIFO could keep a read
    // without time limit waiting for ever.
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return S_ISDIR(info.st_mode) ? EISDIR : ERROR_NOT_A_FILE;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *handle = fd;
    return 0;
}

int32_t readFile(OsHandle handle, uint8_t* buffer, int32_t count) {
    ssize_t got;
    do {
        got = ::read(static_cast<int>(handle), buffer, static_cast<size_t>(count));
    } while (got < 0 && errno == EINTR);
    return static_cast<int32_t>(got);
}

void closeFile(OsHandle handle) {
    ::close(static_cast<int>(handle));
}

bool portHolder(const char* deviceName, char* name, size_t size, int* pid) {
    return findHolder(deviceName, name, size, pid);
}

}  // namespace platform
}  // namespace qorv
