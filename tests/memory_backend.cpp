#include "tests/memory_backend.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "channel/device_channel.h"
#include "channel/net.h"
#include "channel/platform.h"
#include "channel/server_line.h"

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

int32_t clock::nowMs() {
    return current->nowMs();
}

int64_t clock::nowUs() {
    return current->nowUs();
}

void clock::sleepMs(int32_t ms) {
    current->sleep(ms);
}

namespace {

// The port on the current line.
class MemoryLine final : public Line {
  public:
    int32_t read(uint8_t* buffer, int32_t count, int32_t waitUs) override {
        return current->read(buffer, count, waitUs);
    }
    int32_t write(const uint8_t* bytes, int32_t count, int32_t) override {
        return current->write(bytes, count);
    }
    void purge(int32_t) override { current->purge(); }
    int32_t queued() override { return current->queued(); }
};

}  // namespace

namespace platform {

void portDeviceName(int32_t portNumber, char* out, size_t size) {
    std::snprintf(out, size, "memory%d", static_cast<int>(portNumber));
}

int openLine(const PortSpec& port, int32_t baudRate, int32_t inQueueSize, int32_t outQueueSize,
             int32_t untilMs, LineSlot* slot, Line** line, OpenFailure* failure) {
    if (port.kind == PortKind::Server) {
        return openServerLine(port, baudRate, untilMs, slot, line);
    }
    return openTty(port.device, baudRate, inQueueSize, outQueueSize, slot, line, failure);
}

int openTty(const char*, int32_t, int32_t, int32_t, LineSlot* slot, Line** line, OpenFailure*) {
    *line = new (slot->bytes) MemoryLine();
    return 0;
}

int connectTo(const char*, uint16_t, int32_t, Socket* socket) {
    *socket = 1;
    return current->connect();
}

int32_t sendSome(Socket, const uint8_t* bytes, size_t count, int32_t waitMs) {
    return current->sendSome(bytes, static_cast<int32_t>(count), waitMs);
}

int32_t receiveBytes(Socket, uint8_t* bytes, size_t count, int32_t waitUs) {
    return current->receive(bytes, static_cast<int32_t>(count), waitUs);
}

void closeSocket(Socket) {}

int openFile(const char* path, OsHandle* handle) {
    return current->openFile(path, handle);
}

int32_t readFile(OsHandle handle, uint8_t* buffer, int32_t count) {
    return current->readFile(handle, buffer, count);
}

void closeFile(OsHandle handle) {
    current->closeFile(handle);
}

bool portHolder(const char*, char*, size_t, int*) {
    return false;
}

void releasePortOnSignal() {}

}  // namespace platform
}  // namespace qorv
