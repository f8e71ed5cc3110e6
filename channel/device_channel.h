// One byte channel to a serial port or a file, and the owner of the state that the protocol
// operations share: last result, time limit, exchange deadline, carry-over and device error.
// The operations declared under "protocol" are defined in protocol/.
#pragma once

#include <cstddef>
#include <cstdint>

#include "channel/clock.h"
#include "channel/line.h"
#include "channel/os_handle.h"
#include "channel/port_spec.h"
#include "channel/result_codes.h"
#include "protocol/frame.h"

namespace qorv {

class DeviceChannel {
  public:
    DeviceChannel() = default;
    DeviceChannel(const DeviceChannel&) = delete;
    DeviceChannel& operator=(const DeviceChannel&) = delete;
    virtual ~DeviceChannel() { close(); }

    // Opens serial port number n ("\\.\COMn" on Windows, /dev/ttyS<n-1> on POSIX).
    ResultCode openPort(int32_t portNumber, int32_t baudRate, int32_t inQueueSize,
                        int32_t outQueueSize);
    // Opens the line a port argument names: a numbered port, a device, a device server (a USB
    // selector once it has picked its device).
    ResultCode openPort(const PortSpec& port, int32_t baudRate, int32_t inQueueSize,
                        int32_t outQueueSize);
    // Opens the serial device at `devicePath` as typed.
    ResultCode openPortPath(const char* devicePath, int32_t baudRate, int32_t inQueueSize,
                            int32_t outQueueSize);
    // Opens an existing file for reading only, shared for reading and writing with others. The
    // file is never created or written: writes on a file channel write nothing.
    ResultCode openFile(const char* path);

    // Bytes that have come, up to `count`. On a port, when none has: waits for the first one
    // until just past `untilMs` on the clock (0: about a millisecond).
    int32_t readBytes(uint8_t* buffer, int32_t count, int32_t untilMs = 0);
    int32_t writeBytes(const uint8_t* buffer, int32_t count);
    void flush();
    ResultCode close();

    // Async-signal-safe: releases what an open port holds beyond the life of the process, for a
    // handler of a signal that is about to end it.
    static void releasePortOnSignal();

    // Milliseconds since program start on a monotonic clock: the one clock (channel/clock.h).
    static int32_t nowMs() { return clock::nowMs(); }

    // protocol: frame reader
    ResultCode readMessage(uint8_t* buffer, uint16_t* frameLength);
    // protocol: exchanges. Answers are judged by two rules that hold on every path:
    //  1. A frame whose first byte arrived before a request was written is never its answer: a
    //     late or doubled answer to an earlier request cannot stand in for it.
    //  2. With `strayRefusalsFail` set, a refusal is never passed over: one that arrived before
    //     the request (in hand when it is written, or completing after it from bytes that began
    //     before it) fails the exchange as one that answers it does, and a request is not written
    //     after it.
    // Examines, without waiting, every byte received and not yet read: complete frames among them
    // are traced and counted in `framesBeforeRequest`, the start of a frame still arriving is
    // kept, and with `strayRefusalsFail` a refusal among them gives RESULT_DEVICE_ERROR. Every
    // request does this before it is written; a caller does it once more after its last exchange.
    ResultCode examineBytesInHand();
    // protocol: exchanges
    ResultCode sendCommand(uint8_t mid, int32_t value, uint8_t length, uint8_t bid,
                           bool noWait = false);
    ResultCode sendMessage(uint8_t mid, const uint8_t* data, uint16_t length, uint8_t bid,
                           bool noWait = false);
    ResultCode waitForMessage(uint8_t mid, uint8_t* dataOut, uint16_t* lengthOut, uint8_t* bidOut);
    ResultCode requestData(uint8_t mid, uint8_t* dataOut, uint16_t* lengthOut, uint8_t bid);

    bool isOpen() const { return portOpen != 0 || fileOpen != 0; }
    // Operating-system error of the last failed open (errno or GetLastError), 0 if none.
    int osError() const { return lastOsError; }
    // Device path or file name of the last open attempt, for messages.
    const char* openedName() const { return nameOfLastOpen; }
    // The driver of the port last opened when it is known to report no line errors, "" otherwise.
    const char* driverWithoutLineErrors() const { return silentDriver; }
    // Text of osError() as the operating system words it.
    void describeOsError(char* out, size_t size) const;
    // The port is a device server's line (its hang-up is the server closing the connection).
    bool onDeviceServer() const { return deviceServer; }
    // What kind of problem osError() is, for a hint to the user.
    OpenProblem openProblem() const;
    // The system's name of the call of the last port open that failed when it was not the open
    // of the device itself ("SetCommState"), or null.
    const char* failedOpenCall() const;
    // A program other than this one that has the device open: its name and pid.
    static bool portHolder(const char* device, char* name, size_t size, int* pid);
    // First failed port read or write of the last exchange (the OS error, or a hang-up), 0 if
    // none; and its text.
    int ioError() const { return firstIoError; }
    void describeIoError(char* out, size_t size) const;
    // ioError() is the line's own hang-up, which needs no system text beside it.
    bool ioErrorIsHangUp() const;
    // ioError() is a write that stalled: the device or the adapter stopped taking data.
    bool ioErrorIsWriteStall() const;
    // ioError() is the driver's: a request it was given never ended (a read or write even when
    // cancelled).
    bool ioErrorIsDriverStopped() const;
    // Whether an error code (osError(), ioError()) is the system's own, not one the back end made.
    static bool isSystemError(int code);
    // The line errors the port's driver counted during the last exchange that failed, read once
    // when it ended; false when the driver does not count them.
    bool lineErrorsSinceRequest(LineErrors* counted) const {
        *counted = seen.lineErrors;
        return seen.lineErrorsCounted;
    }
    // Bytes read from the port since the request in progress was written.
    uint32_t bytesSinceRequest() const {
        const uint64_t since = bytesRead > requestStreamStart ? bytesRead - requestStreamStart : 0;
        return since < UINT32_MAX ? static_cast<uint32_t>(since) : UINT32_MAX;
    }

    // Events of the port: when a sink is set, it is called with every frame sent or received,
    // the bytes the reader dropped, and the start and end of every exchange. Off by default; the
    // sink must not call back into the channel.
    // TRACE_EARLY: a frame received that began before the request in progress was written.
    // TRACE_EXCHANGE_BEGIN: an exchange begins, with its request frame (before the bytes in hand
    // are examined); TRACE_EXCHANGE_END: it has ended, however it ended (no bytes).
    enum TraceEvent : uint8_t {
        TRACE_SENT,
        TRACE_RECEIVED,
        TRACE_DROPPED,
        TRACE_EARLY,
        TRACE_EXCHANGE_BEGIN,
        TRACE_EXCHANGE_END,
    };
    using TraceSink = void (*)(void* context, TraceEvent event, const uint8_t* bytes,
                               int32_t count);
    void setTrace(TraceSink sink, void* context) {
        traceSink = sink;
        traceContext = context;
    }
    void trace(TraceEvent event, const uint8_t* bytes, int32_t count) {
        if (traceSink != nullptr && (count > 0 || event == TRACE_EXCHANGE_END)) {
            traceSink(traceContext, event, bytes, count);
        }
    }

    // The open port or file; at most one of the two flags is set.
    OsHandle handle = 0;
    uint8_t portOpen = 0;
    uint8_t fileOpen = 0;
    // The error code of the device's last refusal, and the result of the last operation.
    uint16_t deviceError = 0;
    ResultCode lastResult = RESULT_OK;
    // An exchange's time limit (0 on a file: reads never wait), and when the current one ends.
    int16_t timeoutMs = DEFAULT_TIMEOUT_MS;
    int32_t deadline = 0;
    // Bytes read past the end of the last frame, the start of the next one's.
    uint8_t carry[FRAME_BUFFER_SIZE] = {};
    int32_t carryCount = 0;

    // A refusal that arrives anywhere fails the exchange; set by a caller from the point on where
    // a refusal cannot be passed over.
    bool strayRefusalsFail = false;

    // A frame cut off by the end of a file: where it began, its identifier (0 when its header
    // was cut off too) and its whole size (0 when its length was cut off).
    struct CutFrame {
        bool present = false;
        uint8_t id = 0;
        uint64_t start = 0;
        int32_t size = 0;
    };
    // What the last exchange saw, kept to explain a failure.
    struct Seen {
        // Frames that came and did not answer it (or, waiting for a message, were not the one
        // wanted), and the identifier of the last frame it read.
        uint16_t otherMessages = 0;
        uint8_t lastMessageId = 0;
        // Frames that began before its request was written, and how many of the bytes read since
        // the request ended such frames (the rest of a late answer, not noise).
        uint16_t framesBeforeRequest = 0;
        uint32_t earlyFrameBytesSinceRequest = 0;
        // The last refusal carried an error code (a data byte); without one, deviceError is 0.
        bool deviceErrorCoded = false;
        // The last RESULT_DEVICE_ERROR came from a refusal that arrived before its request was
        // written, so it refused an earlier one.
        bool refusalBeforeRequest = false;
        // The driver's line error counts when its request was written, where it keeps them, and
        // what it counted until a failed exchange ended.
        bool lineErrorsCounted = false;
        LineErrors lineErrorsAtRequest;
        LineErrors lineErrors;
        // Bytes kept coming before the request until its deadline: it was never written.
        bool lineNeverQuiet = false;
        uint32_t bytesBeforeRequest = 0;
        // The first frame cut off by the end of the file since it was opened.
        CutFrame cutFrame;
    } seen;
    // Bytes read since the channel was opened.
    uint64_t bytesReadSinceOpen() const { return bytesRead; }
    // The stop bits the open port sends: 2, or 1 where it would not take two; 0 when none is open.
    int32_t stopBits() const { return portOpen ? line->stopBits() : 0; }

    static constexpr int16_t DEFAULT_TIMEOUT_MS = 500;

  private:
    ResultCode setResult(ResultCode result) { return lastResult = result; }
    // Sets an exchange's deadline unless one is set, and puts back the one it found.
    class DeadlineScope;
    ResultCode awaitAcknowledgement(uint8_t mid, uint8_t* frame, const DeadlineScope& scope);
    // Writes a request after examining the bytes in hand; marks where the bytes that may answer
    // it begin. Writes nothing and gives RESULT_DEVICE_ERROR when a refusal was among them.
    ResultCode writeRequest(const uint8_t* frame, int32_t size);
    // Takes the driver's line error counts as the request in progress is written, and what they
    // grew by when it has failed.
    void markLineErrors();
    void countLineErrors();
    // The time limit of a wait outside an exchange's: the exchange's deadline, or the time limit.
    int32_t waitUntil() const { return deadline != 0 ? deadline : nowMs() + timeoutMs; }
    // Held by an exchange operation: when it returns, an exchange it began has ended.
    class ExchangeEnd;
    // Judges a frame read while waiting for an answer that began before the request: true when it
    // is a refusal that fails the exchange (rule 2), false when it is passed over.
    bool refusalBeforeRequestIn(const uint8_t* frame);
    void rememberName(const char* name);
    // Bytes the port has received that have not been read yet, as far as it counts them (never
    // more than there are); 0 on a file.
    int32_t queuedBytes() const;
    // After an exchange that got nothing back: a request still waiting in the port to be sent is
    // kept as a write that stalled.
    void noteUnsent();
    // Forgets the failed read or write kept, for an exchange that begins.
    void clearIoError() {
        firstIoError = 0;
        if (line != nullptr) {
            line->clearError();
        }
    }
    // Reads from the port, waiting up to `waitUs` for the first byte.
    int32_t readPort(uint8_t* buffer, int32_t count, int32_t waitUs);

    uint64_t bytesRead = 0;
    // The frame readMessage returned last began before the request in progress was written.
    bool messageBeforeRequest = false;
    // Stream position (in bytesRead) of the first byte that arrived after the request in
    // progress was written.
    uint64_t requestStreamStart = 0;
    // readMessage examines only the bytes in hand and reads nothing.
    bool examiningInHand = false;
    // An exchange has begun (its request frame given to the sink) and not yet ended.
    bool exchangeBegun = false;
    int lastOsError = 0;
    OpenFailure lastOpenFailure;
    int firstIoError = 0;
    // The open port's line, made in `lineRoom`.
    Line* line = nullptr;
    LineSlot lineRoom;
    bool deviceServer = false;
    // How long one byte takes on the line at its baud rate, and when a read last found bytes.
    int32_t byteTimeUs = 0;
    int64_t bytesCameUs = 0;
    TraceSink traceSink = nullptr;
    void* traceContext = nullptr;
    char nameOfLastOpen[256] = {};
    char silentDriver[24] = {};
};

}  // namespace qorv
