#include "sim/frames.h"

#include <algorithm>
#include <cstddef>

namespace pelorix {

namespace {

constexpr size_t MAX_DATA = 2048;

}  // namespace

std::vector<uint8_t> encodeFrame(uint8_t mid, const std::vector<uint8_t>& data, uint8_t bid) {
    std::vector<uint8_t> frame{PREAMBLE, bid, mid};
    if (data.size() < 255) {
        frame.push_back(static_cast<uint8_t>(data.size()));
    } else {
        frame.push_back(0xFF);
        frame.push_back(static_cast<uint8_t>(data.size() >> 8));
        frame.push_back(static_cast<uint8_t>(data.size() & 0xFF));
    }
    frame.insert(frame.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (size_t i = 1; i < frame.size(); ++i) {
        sum += frame[i];
    }
    frame.push_back(static_cast<uint8_t>(256 - (sum & 0xFF)));
    return frame;
}

std::vector<uint8_t> settingsFileFrom(const std::vector<uint8_t>& data) {
    return encodeFrame(0x91, data);
}

bool takeFrame(std::vector<uint8_t>& input, std::vector<uint8_t>* frame) {
    // Skip to a preamble; of anything invalid, drop one byte and look again.
    for (;;) {
        input.erase(input.begin(), std::find(input.begin(), input.end(), PREAMBLE));
        if (input.size() < 4) {
            return false;
        }
        size_t header = 4;
        size_t length = input[3];
        if (input[3] == 0xFF) {
            if (input.size() < 6) {
                return false;
            }
            header = 6;
            length = input[4] * 256u + input[5];
            if (length > MAX_DATA) {
                input.erase(input.begin());
                continue;
            }
        }
        const size_t size = header + length + 1;
        if (input.size() < size) {
            return false;
        }
        unsigned sum = 0;
        for (size_t i = 1; i < size; ++i) {
            sum += input[i];
        }
        if ((sum & 0xFF) != 0) {
            input.erase(input.begin());
            continue;
        }
        frame->assign(input.begin(), input.begin() + static_cast<long>(size));
        input.erase(input.begin(), input.begin() + static_cast<long>(size));
        return true;
    }
}

Request requestOf(const std::vector<uint8_t>& frame, const std::vector<uint8_t>& identity) {
    const uint8_t mid = frame[2];
    const size_t header = frame[3] == 0xFF ? 6 : 4;
    const std::vector<uint8_t> data(frame.begin() + static_cast<long>(header), frame.end() - 1);
    Request request;
    if (mid == 0x30) {
        request.exchange = EXCHANGE_PROBE;
        request.answer = encodeFrame(0x31, {});
    } else if (mid == 0x00) {
        request.exchange = EXCHANGE_IDENTITY;
        request.answer = encodeFrame(0x01, identity);
    } else if (mid == 0x96 && data.size() == 3 + BLOCK_SIZE && data[0] == 0 && data[1] < 4 &&
               data[2] < 4) {
        request.block = data[1] * 4 + data[2];
        request.exchange = EXCHANGE_FIRST_BLOCK + request.block;
        request.blockData.assign(data.begin() + 3, data.end());
        request.answer = encodeFrame(0x97, {});
    } else if (mid == 0x40) {
        request.exchange = EXCHANGE_FINISH;
        request.answer = encodeFrame(0x41, {});
    } else {
        request.answer = encodeFrame(0x42, {ERROR_UNKNOWN_REQUEST});
    }
    return request;
}

}  // namespace pelorix
