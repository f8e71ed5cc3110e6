#include "channel/device_channel.h"

#include <cstdio>
#include <cstring>

#include "channel/platform.h"

namespace qorv {

namespace {

// Connecting to a device server (resolving its name and trying each address) ends within this.
constexpr int32_t CONNECT_LIMIT_MS = 3000;
// A port's close discards what its queues hold, waiting no longer than this (a device server
// that does not read is not waited for).
constexpr int32_t CLOSE_LIMIT_MS = 100;
// A port read that finds nothing waits this long for the first byte.
constexpr int32_t READ_WAIT_US = 1000;

}  // namespace

void DeviceChannel::rememberName(const char* name) {
    std::snprintf(nameOfLastOpen, sizeof nameOfLastOpen, "%s", name);
}

ResultCode DeviceChannel::openPort(int32_t portNumber, int32_t baudRate, int32_t inQueueSize,
                                   int32_t outQueueSize) {
    return openPort(numberedPort(portNumber), baudRate, inQueueSize, outQueueSize);
}

ResultCode DeviceChannel::openPortPath(const char* devicePath, int32_t baudRate,
                                       int32_t inQueueSize, int32_t outQueueSize) {
    return openPort(devicePort(devicePath), baudRate, inQueueSize, outQueueSize);
}

ResultCode DeviceChannel::openPort(const PortSpec& port, int32_t baudRate, int32_t inQueueSize,
                                   int32_t outQueueSize) {
    deadline = 0;
    if (isOpen()) {
        return setResult(RESULT_ALREADY_OPEN);
    }
    rememberName(port.device);
    silentDriver[0] = '\0';
    bytesRead = 0;
    requestStreamStart = 0;
    lastOpenFailure = OpenFailure{};
    firstIoError = 0;
    lastOsError =
        platform::openLine(port, baudRate, inQueueSize, outQueueSize, nowMs() + CONNECT_LIMIT_MS,
                           &lineRoom, &line, &lastOpenFailure);
    if (lastOsError != 0) {
        line = nullptr;
        return setResult(RESULT_OPEN_FAILED);
    }
    deviceServer = line->isServer();
    const char* driver = line->driverWithoutLineErrors();
    std::snprintf(silentDriver, sizeof silentDriver, "%s", driver != nullptr ? driver : "");
    // Start bit, 8 data bits, two stop bits, rounded up.
    byteTimeUs =
        baudRate > 0 ? static_cast<int32_t>((11 * 1000000LL + baudRate - 1) / baudRate) : 0;
    portOpen = 1;
    return setResult(RESULT_OK);
}

ResultCode DeviceChannel::openFile(const char* path) {
    deadline = 0;
    if (isOpen()) {
        return setResult(RESULT_ALREADY_OPEN);
    }
    rememberName(path);
    bytesRead = 0;
    seen.cutFrame = CutFrame{};
    requestStreamStart = 0;
    lastOpenFailure = OpenFailure{};
    lastOsError = platform::openFile(path, &handle);
    if (lastOsError != 0) {
        return setResult(RESULT_OPEN_FAILED);
    }
    // A file is read to its end or to the wanted frame, never against a clock.
    timeoutMs = 0;
    fileOpen = 1;
    return setResult(RESULT_OK);
}

int32_t DeviceChannel::readPort(uint8_t* buffer, int32_t count, int32_t waitUs) {
    lastResult = RESULT_OK;
    const int32_t got = line->read(buffer, count, waitUs);
    if (firstIoError == 0) {
        firstIoError = line->ioError();
    }
    if (got > 0) {
        bytesCameUs = clock::nowUs();
    }
    bytesRead += static_cast<uint64_t>(got);
    return got;
}

int32_t DeviceChannel::readBytes(uint8_t* buffer, int32_t count, int32_t untilMs) {
    if (portOpen) {
        // One wait for the whole time left, not a wake-up each millisecond: past the limit by a
        // millisecond, so that the caller finds it passed.
        const int32_t leftMs = untilMs != 0 ? clock::msLeft(untilMs + 1, 60000) : 0;
        return readPort(buffer, count, leftMs > 1 ? leftMs * 1000 : READ_WAIT_US);
    }
    if (fileOpen) {
        const int32_t got = platform::readFile(handle, buffer, count);
        // A failed file read ends the reading like the end of the file: a file has no time limit,
        // so retrying it could go on for ever.
        if (got <= 0 && count > 0) {
            lastResult = RESULT_END_OF_FILE;
            return 0;
        }
        lastResult = RESULT_OK;
        bytesRead += static_cast<uint64_t>(got);
        return got;
    }
    lastResult = RESULT_NOT_OPEN;
    return 0;
}

int32_t DeviceChannel::writeBytes(const uint8_t* buffer, int32_t count) {
    if (!isOpen()) {
        lastResult = RESULT_NOT_OPEN;
        return 0;
    }
    lastResult = RESULT_OK;
    // A file channel is only ever read: nothing is written to it.
    if (!portOpen) {
        return 0;
    }
    // A line that does not take the bytes is given up at the exchange's deadline.
    const int32_t written = line->write(buffer, count, waitUntil());
    if (firstIoError == 0) {
        firstIoError = line->ioError();
    }
    return written;
}

void DeviceChannel::noteUnsent() {
    if (portOpen) {
        line->noteUnsent();
        if (firstIoError == 0) {
            firstIoError = line->ioError();
        }
    }
}

int32_t DeviceChannel::queuedBytes() const {
    return portOpen ? line->queued() : 0;
}

bool DeviceChannel::portHolder(const char* device, char* name, size_t size, int* pid) {
    return platform::portHolder(device, name, size, pid);
}

void DeviceChannel::releasePortOnSignal() {
    platform::releasePortOnSignal();
}

void DeviceChannel::flush() {
    if (portOpen) {
        line->purge(nowMs() + CLOSE_LIMIT_MS);
    }
    carryCount = 0;
    lastResult = RESULT_OK;
}

ResultCode DeviceChannel::close() {
    if (portOpen) {
        flush();
        line->~Line();
        line = nullptr;
    } else if (fileOpen) {
        platform::closeFile(handle);
    }
    handle = 0;
    portOpen = 0;
    fileOpen = 0;
    timeoutMs = DEFAULT_TIMEOUT_MS;
    deadline = 0;
    carryCount = 0;
    deviceError = 0;
    strayRefusalsFail = false;
    lastResult = RESULT_OK;
    return RESULT_OK;
}

void DeviceChannel::describeOsError(char* out, size_t size) const {
    platform::describeOpenError(lastOsError, lastOpenFailure, out, size);
}

OpenProblem DeviceChannel::openProblem() const {
    return platform::classifyOpenError(lastOsError, lastOpenFailure.call);
}

const char* DeviceChannel::failedOpenCall() const {
    return platform::openCallName(lastOpenFailure.call);
}

void DeviceChannel::describeIoError(char* out, size_t size) const {
    platform::describeError(firstIoError, out, size);
}

bool DeviceChannel::ioErrorIsHangUp() const {
    return platform::isHangUp(firstIoError);
}

bool DeviceChannel::ioErrorIsWriteStall() const {
    return platform::isWriteStall(firstIoError);
}

bool DeviceChannel::ioErrorIsDriverStopped() const {
    return platform::isDriverStopped(firstIoError);
}

bool DeviceChannel::isSystemError(int code) {
    return platform::isSystemError(code);
}

void DeviceChannel::markLineErrors() {
    seen.lineErrors = LineErrors{};
    seen.lineErrorsCounted = portOpen && line->lineErrors(&seen.lineErrorsAtRequest);
}

void DeviceChannel::countLineErrors() {
    LineErrors now;
    if (!seen.lineErrorsCounted || !portOpen || !line->lineErrors(&now)) {
        seen.lineErrorsCounted = false;
        return;
    }
    const LineErrors& before = seen.lineErrorsAtRequest;
    seen.lineErrors.framing = now.framing - before.framing;
    seen.lineErrors.overrun = now.overrun - before.overrun;
    seen.lineErrors.parity = now.parity - before.parity;
    seen.lineErrors.breaks = now.breaks - before.breaks;
}

}  // namespace qorv
