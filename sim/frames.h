// The device's side of the framed protocol, pure: frames made and taken apart with the device's
// own small encoder and parser (independent of the tool's protocol code), and what a request
// asks of a device and what it answers when all goes well. The simulator, the campaigns'
// simulated line and the Windows driver model are devices through this code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pelorix {

// Exchanges of a store sequence.
constexpr int EXCHANGE_PROBE = 0;
constexpr int EXCHANGE_IDENTITY = 1;
constexpr int EXCHANGE_FIRST_BLOCK = 2;  // block b is EXCHANGE_FIRST_BLOCK + b
constexpr int EXCHANGE_FINISH = 18;
constexpr int EXCHANGE_ANY = -1;
constexpr int EXCHANGES = EXCHANGE_FINISH + 1;

constexpr uint8_t PREAMBLE = 0xFA;
constexpr int STORE_BLOCKS = 16;
constexpr int BLOCK_SIZE = 66;
// The code of the error message for a request the device does not know.
constexpr uint8_t ERROR_UNKNOWN_REQUEST = 0x01;

std::vector<uint8_t> encodeFrame(uint8_t mid, const std::vector<uint8_t>& data, uint8_t bid = 0xFF);

// Takes the first valid frame out of `input` as a device does: bytes before a preamble are
// dropped, and of a false frame (a wrong checksum, an impossible length) one byte. False when no
// complete frame is there yet; what may still become one stays in `input`.
bool takeFrame(std::vector<uint8_t>& input, std::vector<uint8_t>* frame);

// A settings file body: one settings data frame carrying `data` (extended form when needed).
std::vector<uint8_t> settingsFileFrom(const std::vector<uint8_t>& data);

// What a request frame asks of the device.
struct Request {
    // EXCHANGE_PROBE ... EXCHANGE_FINISH, or -1 for a request the device does not know.
    int exchange = -1;
    // 0-15 for a store block, with its 66 bytes in `blockData`; -1 otherwise.
    int block = -1;
    std::vector<uint8_t> blockData;
    // The answer when all goes well (for an unknown request, the error message).
    std::vector<uint8_t> answer;
};
Request requestOf(const std::vector<uint8_t>& frame, const std::vector<uint8_t>& identity);

}  // namespace pelorix
