// Request and answer exchanges on a channel. Every exchange of one call runs against one
// deadline: a caller that set `deadline` shares it, otherwise the exchange sets its own and puts
// back what it found.
#include <cstring>

#include "channel/device_channel.h"

namespace qorv {

namespace {

// The refusal code is the first data byte, in either length form; an error message without data
// carries no code.
void takeErrorCode(DeviceChannel& channel, const uint8_t* frame) {
    channel.seen.deviceErrorCoded = frameDataLength(frame) > 0;
    channel.deviceError = channel.seen.deviceErrorCoded ? frame[frameDataOffset(frame)] : 0;
}

uint16_t copyData(const uint8_t* frame, uint8_t* dataOut) {
    const int32_t length = frameDataLength(frame);
    std::memcpy(dataOut, frame + frameDataOffset(frame), static_cast<size_t>(length));
    return static_cast<uint16_t>(length);
}

// What a frame read in answer to request `mid` says: RESULT_OK for its answer (mid + 1, compared
// as integers, so that a request 0xFF is never answered), RESULT_DEVICE_ERROR for a refusal, whose
// code goes to `deviceError`, and RESULT_UNEXPECTED_REPLY for any other frame.
ResultCode answerTo(DeviceChannel& channel, uint8_t mid, const uint8_t* frame) {
    channel.seen.lastMessageId = frame[2];
    if (frame[2] == mid + 1) {
        return RESULT_OK;
    }
    if (frame[2] == MID_ERROR) {
        takeErrorCode(channel, frame);
        return RESULT_DEVICE_ERROR;
    }
    return RESULT_UNEXPECTED_REPLY;
}

}  // namespace

// Restores the deadline an exchange found when it returns.
class DeviceChannel::DeadlineScope {
  public:
    explicit DeadlineScope(DeviceChannel& channel) : channel(channel), saved(channel.deadline) {
        if (saved == 0) {
            channel.deadline = DeviceChannel::nowMs() + channel.timeoutMs;
        }
    }
    ~DeadlineScope() { channel.deadline = saved; }
    DeadlineScope(const DeadlineScope&) = delete;
    DeadlineScope& operator=(const DeadlineScope&) = delete;

    bool expired() const {
        return DeviceChannel::nowMs() > channel.deadline && channel.timeoutMs != 0;
    }

  private:
    DeviceChannel& channel;
    int32_t saved;
};

namespace {

// Once bytes were found in hand, the line must have been quiet this long before the request goes:
// a line hands its bytes on in bursts (a UART at each FIFO interrupt, a USB adapter at each tick
// of its latency timer, 16 ms unless set low), so a read that finds nothing between two bursts
// does not mean the device has stopped sending. A line with nothing in hand costs no wait.
constexpr int32_t IN_HAND_QUIET_MS = 20;

}  // namespace

bool DeviceChannel::refusalBeforeRequestIn(const uint8_t* frame) {
    ++seen.framesBeforeRequest;
    if (frame[2] != MID_ERROR || !strayRefusalsFail) {
        return false;
    }
    seen.lastMessageId = frame[2];
    takeErrorCode(*this, frame);
    seen.refusalBeforeRequest = true;
    return true;
}

ResultCode DeviceChannel::examineBytesInHand() {
    seen.lineNeverQuiet = false;
    seen.bytesBeforeRequest = 0;
    if (!portOpen) {
        return setResult(RESULT_OK);
    }
    ResultCode found = RESULT_OK;
    uint8_t frame[FRAME_BUFFER_SIZE];
    // No count of the port's input is believed: a tty counts only its read buffer, and a Windows
    // driver's count can lag what it holds. What is in hand is what port reads find until one
    // finds nothing. The first read waits until one byte's time on the line has passed since
    // bytes last came: bytes that have reached the system are there at once (the kernel hands
    // them on in microseconds), and a device still sending right behind what was read last (a
    // stream behind an answer) shows within it. No wait could catch a byte still inside a USB
    // adapter, which holds it until its latency tick. Once some were found, the line must go quiet
    // a while, each read waiting about 1 ms, so that bytes still coming in (a flood the driver
    // takes in while the tool reads) are in hand too; all of it within the exchange's deadline. On
    // Linux a read also moves in what waits behind the tty's read buffer.
    const int32_t until = waitUntil();
    // One byte's time after the bytes that came last (an answer read just now): what the tool did
    // since counts towards it.
    const int64_t sinceBytesUs = clock::nowUs() - bytesCameUs;
    const int32_t firstWaitUs =
        sinceBytesUs >= byteTimeUs ? 0 : static_cast<int32_t>(byteTimeUs - sinceBytesUs);
    bool drained = false;
    int32_t quietSince = nowMs();
    int64_t taken = 0;
    requestStreamStart = bytesRead;
    for (;;) {
        const int32_t got = readPort(carry + carryCount, FRAME_BUFFER_SIZE - carryCount,
                                     taken == 0 ? firstWaitUs : 1000);
        const int32_t now = nowMs();
        if (got == 0) {
            drained = taken == 0 || firstIoError != 0 || now - quietSince >= IN_HAND_QUIET_MS;
            if (drained || now > until) {
                break;
            }
            continue;
        }
        quietSince = now;
        taken += got;
        carryCount += got;
        // Everything read so far came before the request about to be written.
        requestStreamStart = bytesRead;
        examiningInHand = true;
        uint16_t frameLength = 0;
        while (readMessage(frame, &frameLength) == RESULT_OK) {
            if (refusalBeforeRequestIn(frame) && found == RESULT_OK) {
                found = RESULT_DEVICE_ERROR;
            }
        }
        examiningInHand = false;
        if (now > until) {
            break;
        }
    }
    if (!drained) {
        // A line that never went quiet: what the port counts as still queued came before the
        // request too. (A count may fall short, never overstate.)
        const int32_t queued = queuedBytes();
        requestStreamStart = bytesRead + static_cast<uint64_t>(queued > 0 ? queued : 0);
        seen.lineNeverQuiet = true;
    }
    seen.bytesBeforeRequest = static_cast<uint32_t>(taken < UINT32_MAX ? taken : UINT32_MAX);
    return setResult(found);
}

class DeviceChannel::ExchangeEnd {
  public:
    explicit ExchangeEnd(DeviceChannel& channel) : channel(channel) {}
    ~ExchangeEnd() {
        if (channel.exchangeBegun && channel.lastResult != RESULT_OK) {
            channel.countLineErrors();
            // Nothing came back: the request may still be waiting in the port to be sent.
            if (channel.bytesSinceRequest() == 0) {
                channel.noteUnsent();
            }
        }
        if (channel.exchangeBegun) {
            channel.exchangeBegun = false;
            channel.trace(TRACE_EXCHANGE_END, nullptr, 0);
        }
    }
    ExchangeEnd(const ExchangeEnd&) = delete;
    ExchangeEnd& operator=(const ExchangeEnd&) = delete;

  private:
    DeviceChannel& channel;
};

ResultCode DeviceChannel::writeRequest(const uint8_t* frame, int32_t size) {
    trace(TRACE_EXCHANGE_BEGIN, frame, size);
    exchangeBegun = true;
    // What explains a failure is kept for one exchange at a time.
    seen.otherMessages = 0;
    seen.framesBeforeRequest = 0;
    seen.earlyFrameBytesSinceRequest = 0;
    seen.refusalBeforeRequest = false;
    clearIoError();
    markLineErrors();
    // Bytes that arrive from here on may answer the request. (One that arrives between the last
    // read of the port and the write cannot be told from an early answer.)
    if (examineBytesInHand() != RESULT_OK) {
        return lastResult;
    }
    // A line that kept sending until the deadline: the request would be lost in it.
    if (seen.lineNeverQuiet) {
        return setResult(RESULT_NO_REPLY);
    }
    trace(TRACE_SENT, frame, size);
    // A request that could not be written whole (a stalled line, a port gone) gets no answer:
    // the exchange ends at once instead of waiting out its limit.
    if (writeBytes(frame, size) != size && portOpen) {
        return setResult(RESULT_NO_REPLY);
    }
    return RESULT_OK;
}

ResultCode DeviceChannel::sendCommand(uint8_t mid, int32_t value, uint8_t length, uint8_t bid,
                                      bool noWait) {
    const ExchangeEnd end(*this);
    if (!isOpen()) {
        return setResult(RESULT_NOT_OPEN);
    }
    uint8_t frame[FRAME_BUFFER_SIZE];
    uint8_t data[4];
    const int16_t size = length > 4 ? 4 : length;
    putBigEndian(value, data, size);
    // One deadline for the whole exchange: the bytes in hand, the write and the answer.
    const DeadlineScope scope(*this);
    if (writeRequest(frame, buildFrame(frame, bid, mid, data, size)) != RESULT_OK) {
        return lastResult;
    }
    if (fileOpen || noWait) {
        return setResult(RESULT_OK);
    }
    return awaitAcknowledgement(mid, frame, scope);
}

ResultCode DeviceChannel::sendMessage(uint8_t mid, const uint8_t* data, uint16_t length,
                                      uint8_t bid, bool noWait) {
    const ExchangeEnd end(*this);
    if (!isOpen()) {
        return setResult(RESULT_NOT_OPEN);
    }
    uint8_t frame[FRAME_BUFFER_SIZE];
    const int32_t size = length > MAX_DATA_LENGTH ? MAX_DATA_LENGTH : length;
    const DeadlineScope scope(*this);
    if (writeRequest(frame, buildFrame(frame, bid, mid, data, size)) != RESULT_OK) {
        return lastResult;
    }
    if (fileOpen || noWait) {
        return setResult(RESULT_OK);
    }
    return awaitAcknowledgement(mid, frame, scope);
}

ResultCode DeviceChannel::awaitAcknowledgement(uint8_t mid, uint8_t* frame,
                                               const DeadlineScope& scope) {
    bool messageArrived = false;
    for (;;) {
        if (scope.expired()) {
            return setResult(messageArrived ? RESULT_TIMEOUT : RESULT_NO_REPLY);
        }
        uint16_t frameLength = 0;
        if (readMessage(frame, &frameLength) != RESULT_OK) {
            continue;
        }
        if (messageBeforeRequest) {
            if (refusalBeforeRequestIn(frame)) {
                return setResult(RESULT_DEVICE_ERROR);
            }
            continue;
        }
        messageArrived = true;
        const ResultCode answer = answerTo(*this, mid, frame);
        if (answer != RESULT_UNEXPECTED_REPLY) {
            return setResult(answer);
        }
        // Any other frame is passed over.
        ++seen.otherMessages;
    }
}

ResultCode DeviceChannel::waitForMessage(uint8_t mid, uint8_t* dataOut, uint16_t* lengthOut,
                                         uint8_t* bidOut) {
    if (!isOpen()) {
        return setResult(RESULT_NOT_OPEN);
    }
    uint8_t frame[FRAME_BUFFER_SIZE];
    DeadlineScope scope(*this);
    seen.otherMessages = 0;
    for (;;) {
        if (scope.expired()) {
            return setResult(RESULT_TIMEOUT);
        }
        uint16_t frameLength = 0;
        const ResultCode read = readMessage(frame, &frameLength);
        if (read == RESULT_END_OF_FILE) {
            return read;
        }
        if (read != RESULT_OK) {
            continue;
        }
        seen.lastMessageId = frame[2];
        if (frame[2] != mid) {
            ++seen.otherMessages;
            continue;
        }
        if (bidOut != nullptr) {
            *bidOut = frame[1];
        }
        if (dataOut != nullptr && lengthOut != nullptr) {
            *lengthOut = copyData(frame, dataOut);
        }
        return setResult(RESULT_OK);
    }
}

ResultCode DeviceChannel::requestData(uint8_t mid, uint8_t* dataOut, uint16_t* lengthOut,
                                      uint8_t bid) {
    const ExchangeEnd end(*this);
    if (fileOpen) {
        return setResult(RESULT_NOT_ON_FILE);
    }
    if (!portOpen) {
        return setResult(RESULT_NOT_OPEN);
    }
    uint8_t frame[FRAME_BUFFER_SIZE];
    *lengthOut = 0;
    // Exactly one frame that arrived after the request is read: a frame that is not the reply
    // ends the exchange. Frames that began before it go by against the same limit, which the
    // bytes in hand and the write share too.
    const DeadlineScope scope(*this);
    if (writeRequest(frame, buildFrame(frame, bid, mid, nullptr, 0)) != RESULT_OK) {
        return lastResult;
    }
    uint16_t frameLength = 0;
    for (;;) {
        const ResultCode read = readMessage(frame, &frameLength);
        if (read != RESULT_OK) {
            return read;
        }
        if (!messageBeforeRequest) {
            break;
        }
        if (refusalBeforeRequestIn(frame)) {
            return setResult(RESULT_DEVICE_ERROR);
        }
    }
    const ResultCode answer = answerTo(*this, mid, frame);
    if (answer == RESULT_OK) {
        *lengthOut = copyData(frame, dataOut);
    }
    return setResult(answer);
}

}  // namespace qorv
