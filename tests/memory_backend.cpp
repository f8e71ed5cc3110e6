#include "tests/memory_backend.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "channel/device_channel.h"
#include "channel/platform.h"

namespace qorv {
namespace memory_backend {

namespace {
Line* current = nullptr;
}  // namespace

void use(Line* line) {
    current = line;
}

int Line::openFile(const char* path, OsHandle* handle) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    *handle = fd;
    return 0;
}

int32_t Line::readFile(OsHandle handle, uint8_t* buffer, int32_t count) {
    return static_cast<int32_t>(
        ::read(static_cast<int>(handle), buffer, static_cast<size_t>(count)));
}

void Line::closeFile(OsHandle handle) {
    ::close(static_cast<int>(handle));
}

}  // namespace memory_backend

using memory_backend::current;

int32_t DeviceChannel::nowMs() {
    return current->nowMs();
}

namespace platform {

void portDeviceName(int32_t portNumber, char* out, size_t size) {
    std::snprintf(out, size, "memory%d", static_cast<int>(portNumber));
}

int openPort(const char*, int32_t, int32_t, int32_t, OsHandle* handle, OpenCall*) {
    *handle = 1;
    return 0;
}

int openFile(const char* path, OsHandle* handle) {
    return current->openFile(path, handle);
}

int32_t readPort(OsHandle, uint8_t* buffer, int32_t count, int*) {
    return current->read(buffer, count);
}

int32_t readFile(OsHandle handle, uint8_t* buffer, int32_t count) {
    return current->readFile(handle, buffer, count);
}

int32_t writeAll(OsHandle, const uint8_t* buffer, int32_t count, int*) {
    return current->write(buffer, count);
}

void purgePort(OsHandle) {
    current->purge();
}

int32_t queuedInput(OsHandle) {
    return current->queued();
}

void closePort(OsHandle) {}

void closeFile(OsHandle handle) {
    current->closeFile(handle);
}

void describeError(int osError, char* out, size_t size) {
    std::snprintf(out, size, "%s", std::strerror(osError));
}

OpenProblem classifyOpenError(int, OpenCall) {
    return OPEN_OTHER;
}

bool portHolder(const char*, char*, size_t, int*) {
    return false;
}

void releasePortOnSignal() {}

bool isHangUp(int) {
    return false;
}

bool isWriteStall(int) {
    return false;
}

bool lineErrors(OsHandle, LineErrors*) {
    return false;
}

}  // namespace platform
}  // namespace qorv
