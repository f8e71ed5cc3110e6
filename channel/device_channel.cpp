#include "channel/device_channel.h"

#include <cstdio>
#include <cstring>

#include "channel/platform.h"

namespace qorv {

void DeviceChannel::rememberName(const char* name) {
    std::snprintf(nameOfLastOpen, sizeof nameOfLastOpen, "%s", name);
}

void DeviceChannel::portDeviceName(int32_t portNumber, char* out, size_t size) {
    platform::portDeviceName(portNumber, out, size);
}

ResultCode DeviceChannel::openPort(int32_t portNumber, int32_t baudRate, int32_t inQueueSize,
                                   int32_t outQueueSize) {
    char name[64];
    platform::portDeviceName(portNumber, name, sizeof name);
    return openPortPath(name, baudRate, inQueueSize, outQueueSize);
}

ResultCode DeviceChannel::openPortPath(const char* devicePath, int32_t baudRate,
                                       int32_t inQueueSize, int32_t outQueueSize) {
    deadline = 0;
    if (isOpen()) {
        return setResult(RESULT_ALREADY_OPEN);
    }
    rememberName(devicePath);
    bytesRead = 0;
    requestStreamStart = 0;
    lastOpenCall = CALL_OPEN;
    lastOsError =
        platform::openPort(devicePath, baudRate, inQueueSize, outQueueSize, &handle, &lastOpenCall);
    if (lastOsError != 0) {
        return setResult(RESULT_OPEN_FAILED);
    }
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
    lastOpenCall = CALL_OPEN;
    lastOsError = platform::openFile(path, &handle);
    if (lastOsError != 0) {
        return setResult(RESULT_OPEN_FAILED);
    }
    // A file is read to its end or to the wanted frame, never against a clock.
    timeoutMs = 0;
    fileOpen = 1;
    return setResult(RESULT_OK);
}

int32_t DeviceChannel::readBytes(uint8_t* buffer, int32_t count) {
    if (portOpen) {
        lastResult = RESULT_OK;
        const int32_t got = platform::readPort(handle, buffer, count, &firstIoError);
        bytesRead += static_cast<uint64_t>(got);
        return got;
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
    return portOpen ? platform::writeAll(handle, buffer, count, &firstIoError) : 0;
}

int32_t DeviceChannel::queuedBytes() const {
    return portOpen ? platform::queuedInput(handle) : 0;
}

bool DeviceChannel::portHolder(const char* device, char* name, size_t size, int* pid) {
    return platform::portHolder(device, name, size, pid);
}

void DeviceChannel::releasePortOnSignal() {
    platform::releasePortOnSignal();
}

void DeviceChannel::flush() {
    if (portOpen) {
        platform::purgePort(handle);
    }
    carryCount = 0;
    lastResult = RESULT_OK;
}

ResultCode DeviceChannel::close() {
    if (portOpen) {
        flush();
        platform::closePort(handle);
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
    platform::describeError(lastOsError, out, size);
}

OpenProblem DeviceChannel::openProblem() const {
    return platform::classifyOpenError(lastOsError, lastOpenCall);
}

const char* DeviceChannel::failedOpenCall() const {
    return platform::openCallName(lastOpenCall);
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
    seen.lineErrorsCounted = portOpen && platform::lineErrors(handle, &seen.lineErrorsAtRequest);
}

bool DeviceChannel::lineErrorsSinceRequest(LineErrors* counted) const {
    LineErrors now;
    if (!seen.lineErrorsCounted || !portOpen || !platform::lineErrors(handle, &now)) {
        return false;
    }
    const LineErrors& before = seen.lineErrorsAtRequest;
    counted->framing = now.framing - before.framing;
    counted->overrun = now.overrun - before.overrun;
    counted->parity = now.parity - before.parity;
    counted->breaks = now.breaks - before.breaks;
    return true;
}

}  // namespace qorv
