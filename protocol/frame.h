// Frame layout of the device's binary protocol, shared by the serial line and settings files.
//
//   0xFA  BID  MID  LEN  [EXTLEN hi lo]  data...  checksum
//
// The checksum makes the 8-bit sum of every byte from BID to the checksum itself equal 0.
#pragma once

#include <cstdint>

namespace qorv {

constexpr uint8_t PREAMBLE = 0xFA;
constexpr uint8_t BID_DEFAULT = 0xFF;
// LEN value that announces the two-byte EXTLEN field.
constexpr uint8_t LEN_EXTENDED = 0xFF;

constexpr uint8_t MID_REQ_IDENTITY = 0x00;
constexpr uint8_t MID_PROBE = 0x30;
constexpr uint8_t MID_FINISH = 0x40;
constexpr uint8_t MID_ERROR = 0x42;
constexpr uint8_t MID_QORV_DATA = 0x91;
constexpr uint8_t MID_STORE_BLOCK = 0x96;

constexpr int32_t MAX_DATA_LENGTH = 2048;
constexpr int32_t SHORT_HEADER_SIZE = 4;
constexpr int32_t EXTENDED_HEADER_SIZE = 6;
// Longest frame is 2055 bytes; every frame buffer has one byte to spare.
constexpr int32_t FRAME_BUFFER_SIZE = 2056;

// Stores the checksum of frame bytes 1 .. count-1 at offset count.
void putChecksum(uint8_t* frame, int32_t count);

// Writes the low `length` bytes of value, most significant first; length <= 0 writes nothing.
void putBigEndian(int32_t value, uint8_t* destination, int16_t length);

// Builds a complete frame (short form below 255 data bytes, extended form from 255) and returns
// its length. `frame` must hold FRAME_BUFFER_SIZE bytes and length must not exceed MAX_DATA_LENGTH.
int32_t buildFrame(uint8_t* frame, uint8_t bid, uint8_t mid, const uint8_t* data, int32_t length);

// Accessors for a complete frame as returned by the reader.
inline bool frameIsExtended(const uint8_t* frame) {
    return frame[3] == LEN_EXTENDED;
}
inline int32_t frameDataOffset(const uint8_t* frame) {
    return frameIsExtended(frame) ? EXTENDED_HEADER_SIZE : SHORT_HEADER_SIZE;
}
inline int32_t frameDataLength(const uint8_t* frame) {
    return frameIsExtended(frame) ? frame[4] * 256 + frame[5] : frame[3];
}

}  // namespace qorv
