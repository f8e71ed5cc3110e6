#include "protocol/frame.h"

#include <cstring>

namespace qorv {

void putChecksum(uint8_t* frame, int32_t count) {
    uint8_t sum = 0;
    for (int32_t i = 1; i < count; ++i) {
        sum = static_cast<uint8_t>(sum + frame[i]);
    }
    frame[count < 0 ? 0 : count] = static_cast<uint8_t>(0u - sum);
}

void putBigEndian(int32_t value, uint8_t* destination, int16_t length) {
    const uint32_t bits = static_cast<uint32_t>(value);
    for (int16_t i = 0; i < length; ++i) {
        const int shift = 8 * (length - 1 - i);
        destination[i] = static_cast<uint8_t>(shift < 32 ? bits >> shift : 0);
    }
}

int32_t buildFrame(uint8_t* frame, uint8_t bid, uint8_t mid, const uint8_t* data, int32_t length) {
    frame[0] = PREAMBLE;
    frame[1] = bid;
    frame[2] = mid;
    int32_t header = SHORT_HEADER_SIZE;
    if (length < LEN_EXTENDED) {
        frame[3] = static_cast<uint8_t>(length);
    } else {
        frame[3] = LEN_EXTENDED;
        putBigEndian(length, frame + 4, 2);
        header = EXTENDED_HEADER_SIZE;
    }
    if (length > 0) {
        std::memcpy(frame + header, data, static_cast<size_t>(length));
    }
    putChecksum(frame, header + length);
    return header + length + 1;
}

}  // namespace qorv
