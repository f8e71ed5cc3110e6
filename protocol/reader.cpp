// The frame reader: turns the byte stream of a channel into complete, checked frames.
#include <cstring>

#include "channel/device_channel.h"

namespace qorv {

namespace {

enum ReaderStep { STEP_PREAMBLE = 0, STEP_HEADER = 1, STEP_EXTENDED_LENGTH = 2, STEP_BODY = 3 };

// Working state of one call. The frame being assembled always starts at buffer[0]; `pending`
// bytes received earlier but not yet examined lie right after the first `have` bytes.
struct Assembly {
    DeviceChannel& channel;
    uint8_t* buffer;
    int32_t have = 0;
    int32_t need = 1;
    int32_t pending = 0;
    ReaderStep step = STEP_PREAMBLE;
    int32_t dataLength = 0;
    // Position of buffer[0] in the stream of bytes read from the channel since it was opened, so
    // that a frame can be told to have begun before or after a request was written.
    uint64_t start = 0;

    void restart() {
        have = 0;
        need = 1;
        step = STEP_PREAMBLE;
    }

    // Drops the first s collected bytes as a false frame. The next preamble among them, and every
    // byte already received behind them, is examined again from the preamble step.
    void reject(int32_t s) {
        int32_t from = s;
        for (int32_t i = 1; i < s; ++i) {
            if (buffer[i] == PREAMBLE) {
                from = i;
                break;
            }
        }
        channel.trace(DeviceChannel::TRACE_DROPPED, buffer, from);
        start += static_cast<uint64_t>(from);
        pending += s - from;
        if (pending > 0) {
            std::memmove(buffer, buffer + from, static_cast<size_t>(pending));
        }
        restart();
    }

    // Gives up the partly collected frame, when nothing in it can be a frame any more.
    ResultCode giveUp(ResultCode result) {
        channel.trace(DeviceChannel::TRACE_DROPPED, buffer, have);
        return result;
    }

    // When a partly collected frame cannot be completed (time limit, end of file): lets the next
    // preamble inside it stand in for the one at buffer[0]. Returns false when there is none.
    bool resyncOnLaterPreamble() {
        for (int32_t i = 1; i < have; ++i) {
            if (buffer[i] == PREAMBLE) {
                channel.trace(DeviceChannel::TRACE_DROPPED, buffer, i);
                start += static_cast<uint64_t>(i);
                pending = have - i - 1;
                std::memmove(buffer + 1, buffer + i + 1, static_cast<size_t>(pending));
                have = 1;
                step = STEP_HEADER;
                need = 3;
                return true;
            }
        }
        return false;
    }
};

bool checksumIsValid(const uint8_t* frame, int32_t size) {
    uint8_t sum = 0;
    for (int32_t i = 1; i < size; ++i) {
        sum = static_cast<uint8_t>(sum + frame[i]);
    }
    return sum == 0;
}

}  // namespace

ResultCode DeviceChannel::readMessage(uint8_t* buffer, uint16_t* frameLength) {
    if (!isOpen()) {
        return setResult(RESULT_NOT_OPEN);
    }
    Assembly frame{*this, buffer};
    frame.start = bytesRead - static_cast<uint64_t>(carryCount);
    if (carryCount > 0) {
        std::memcpy(buffer, carry, static_cast<size_t>(carryCount));
        frame.pending = carryCount;
        carryCount = 0;
    }
    const int32_t limit = deadline != 0 ? deadline : nowMs() + timeoutMs;
    // Once the limit has passed, only the bytes already in hand are examined: a line that never
    // stops sending (a stuck transmitter streaming preambles) would otherwise always leave some
    // in hand and keep the call going for as long as it sends.
    bool limitPassed = false;

    for (;;) {
        // Gather: bytes in hand first, then from the channel exactly what this step still needs,
        // so that no byte of a following frame is taken from the channel.
        if (frame.pending > 0 && frame.need > 0) {
            const int32_t k = frame.need < frame.pending ? frame.need : frame.pending;
            frame.have += k;
            frame.need -= k;
            frame.pending -= k;
        }
        if (frame.need > 0 && examiningInHand) {
            // Nothing more is read: the start of a frame still arriving is kept for the next call.
            std::memcpy(carry, buffer, static_cast<size_t>(frame.have));
            carryCount = frame.have;
            return setResult(RESULT_TIMEOUT);
        }
        if (frame.need > 0 && !limitPassed) {
            // A file is read in blocks (what follows the frame is kept for the next call); a port
            // only for what this step needs, so that no byte of a later answer is taken early.
            const int32_t ask = fileOpen ? FRAME_BUFFER_SIZE - frame.have : frame.need;
            const int32_t got = readBytes(buffer + frame.have, ask, limit);
            if (lastResult == RESULT_END_OF_FILE) {
                if (frame.step != STEP_PREAMBLE && !seen.cutFrame.present) {
                    seen.cutFrame.present = true;
                    seen.cutFrame.id = frame.have >= 3 ? buffer[2] : 0;
                    seen.cutFrame.start = frame.start;
                    seen.cutFrame.size = frame.step == STEP_BODY
                                             ? frameDataOffset(buffer) + frame.dataLength + 1
                                             : 0;
                }
                // A frame cut off by the end of a file may hide a complete one behind a later
                // preamble, as a frame cut off by the time limit may.
                if (frame.step == STEP_PREAMBLE || !frame.resyncOnLaterPreamble()) {
                    return setResult(frame.giveUp(RESULT_END_OF_FILE));
                }
                continue;
            }
            const int32_t used = got < frame.need ? got : frame.need;
            frame.have += used;
            frame.need -= used;
            frame.pending += got - used;
        }

        if (frame.need == 0) {
            switch (frame.step) {
                case STEP_PREAMBLE:
                    if (buffer[0] == PREAMBLE) {
                        frame.step = STEP_HEADER;
                        frame.need = 3;
                    } else {
                        // Noise is dropped up to the next preamble in hand at once.
                        const void* next =
                            std::memchr(buffer + 1, PREAMBLE, static_cast<size_t>(frame.pending));
                        const int32_t noise =
                            next != nullptr
                                ? static_cast<int32_t>(static_cast<const uint8_t*>(next) - buffer)
                                : frame.pending + 1;
                        trace(TRACE_DROPPED, buffer, noise);
                        frame.start += static_cast<uint64_t>(noise);
                        frame.pending -= noise - 1;
                        if (frame.pending > 0) {
                            std::memmove(buffer, buffer + noise,
                                         static_cast<size_t>(frame.pending));
                        }
                        frame.restart();
                    }
                    break;
                case STEP_HEADER:
                    if (buffer[3] != LEN_EXTENDED) {
                        frame.dataLength = buffer[3];
                        frame.need = frame.dataLength + 1;
                        frame.step = STEP_BODY;
                    } else {
                        frame.need = 2;
                        frame.step = STEP_EXTENDED_LENGTH;
                    }
                    break;
                case STEP_EXTENDED_LENGTH:
                    frame.dataLength = buffer[4] * 256 + buffer[5];
                    if (frame.dataLength <= MAX_DATA_LENGTH) {
                        frame.need = frame.dataLength + 1;
                        frame.step = STEP_BODY;
                    } else {
                        frame.reject(EXTENDED_HEADER_SIZE);
                    }
                    break;
                case STEP_BODY: {
                    const int32_t size = frameDataOffset(buffer) + frame.dataLength + 1;
                    if (checksumIsValid(buffer, size)) {
                        if (frame.pending > 0) {
                            std::memcpy(carry, buffer + size, static_cast<size_t>(frame.pending));
                            carryCount = frame.pending;
                        }
                        *frameLength = static_cast<uint16_t>(size);
                        messageBeforeRequest = frame.start < requestStreamStart;
                        if (messageBeforeRequest &&
                            frame.start + static_cast<uint64_t>(size) > requestStreamStart) {
                            seen.earlyFrameBytesSinceRequest += static_cast<uint32_t>(
                                frame.start + static_cast<uint64_t>(size) - requestStreamStart);
                        }
                        trace(messageBeforeRequest ? TRACE_EARLY : TRACE_RECEIVED, buffer, size);
                        return setResult(RESULT_OK);
                    }
                    frame.reject(size);
                    break;
                }
            }
        }

        // The limit is examined only after a full pass, so a frame completed in the same pass is
        // still returned, and bytes already in hand are examined before giving up.
        limitPassed = limitPassed || (timeoutMs != 0 && !examiningInHand && nowMs() > limit);
        if (limitPassed && frame.pending == 0) {
            if (frame.step == STEP_PREAMBLE || !frame.resyncOnLaterPreamble()) {
                return setResult(frame.giveUp(RESULT_TIMEOUT));
            }
        }
    }
}

}  // namespace qorv
