#include "fuzz/harness.h"

#include <algorithm>
#include <cstdio>

#include "sim/frames.h"

namespace fuzzing {

bool frameIsValid(const uint8_t* frame, size_t length) {
    if (length < 5 || frame[0] != 0xFA) {
        return false;
    }
    const bool extended = frame[3] == 0xFF;
    const size_t dataLength = extended ? frame[4] * 256u + frame[5] : frame[3];
    if (dataLength > 2048 || length != (extended ? 7 : 5) + dataLength) {
        return false;
    }
    unsigned sum = 0;
    for (size_t i = 1; i < length; ++i) {
        sum += frame[i];
    }
    return (sum & 0xFF) == 0;
}

void fixUpChecksums(std::vector<uint8_t>& bytes) {
    for (size_t start = 0; start + 4 <= bytes.size(); ++start) {
        if (bytes[start] != 0xFA) {
            continue;
        }
        size_t header = 4;
        size_t length = bytes[start + 3];
        if (length == 0xFF) {
            if (start + 6 > bytes.size()) {
                continue;
            }
            header = 6;
            length = bytes[start + 4] * 256u + bytes[start + 5];
            if (length > 2048) {
                continue;
            }
        }
        const size_t last = start + header + length;
        if (last >= bytes.size()) {
            continue;
        }
        unsigned sum = 0;
        for (size_t i = start + 1; i < last; ++i) {
            sum += bytes[i];
        }
        bytes[last] = static_cast<uint8_t>(0x100 - (sum & 0xFF));
    }
}

std::vector<uint8_t> structuredStream(const uint8_t* bytes, size_t size,
                                      std::vector<std::vector<uint8_t>>* frames) {
    std::vector<uint8_t> stream;
    size_t at = 0;
    while (at + 3 <= size) {
        const size_t noise = bytes[at++] % 8;
        for (size_t i = 0; i < noise && at < size; ++i, ++at) {
            stream.push_back(bytes[at] == 0xFA ? 0x00 : bytes[at]);
        }
        if (at + 2 > size) {
            break;
        }
        const uint8_t mid = bytes[at++];
        // Lengths from 0 to 300, so both length forms occur.
        const size_t wanted = bytes[at++] * 300u / 255u;
        const size_t length = std::min<size_t>(wanted, size - at);
        const std::vector<uint8_t> frame = pelorix::encodeFrame(
            mid, std::vector<uint8_t>(bytes + at, bytes + at + length), static_cast<uint8_t>(at));
        at += length;
        stream.insert(stream.end(), frame.begin(), frame.end());
        frames->push_back(frame);
    }
    return stream;
}

std::vector<uint8_t> inputForMode(int mode, const uint8_t* bytes, size_t size,
                                  std::vector<std::vector<uint8_t>>* frames) {
    if (mode == 2) {
        return structuredStream(bytes, size, frames);
    }
    std::vector<uint8_t> input(bytes, bytes + size);
    if (mode == 1) {
        fixUpChecksums(input);
    }
    return input;
}

std::vector<std::vector<uint8_t>> referenceFrames(const std::vector<uint8_t>& input) {
    std::vector<std::vector<uint8_t>> frames;
    size_t start = 0;
    while (start < input.size()) {
        if (input[start] != 0xFA || start + 4 > input.size()) {
            ++start;
            continue;
        }
        const bool extended = input[start + 3] == 0xFF;
        size_t size = 0;
        if (!extended) {
            size = 5 + input[start + 3];
        } else if (start + 6 <= input.size()) {
            size = 7 + input[start + 4] * 256u + input[start + 5];
        }
        if (size > 0 && start + size <= input.size() && frameIsValid(input.data() + start, size)) {
            frames.emplace_back(input.begin() + static_cast<long>(start),
                                input.begin() + static_cast<long>(start + size));
            start += size;
        } else {
            ++start;
        }
    }
    return frames;
}

long find(const std::vector<uint8_t>& input, const uint8_t* frame, size_t length, size_t from) {
    if (from > input.size()) {
        return -1;
    }
    const auto at =
        std::search(input.begin() + static_cast<long>(from), input.end(), frame, frame + length);
    return at == input.end() ? -1 : static_cast<long>(at - input.begin());
}

}  // namespace fuzzing
