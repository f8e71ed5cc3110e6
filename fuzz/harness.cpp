#include "fuzz/harness.h"

#include <algorithm>
#include <cstdio>

#include "sim/frames.h"

namespace fuzzing {

bool frameIsValid(const uint8_t* frame, size_t length) {
    std::vector<uint8_t> bytes(frame, frame + length);
    std::vector<uint8_t> taken;
    return length > 0 && frame[0] == pelorix::PREAMBLE && pelorix::takeFrame(bytes, &taken) &&
           taken.size() == length;
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
    std::vector<uint8_t> rest = input;
    std::vector<uint8_t> frame;
    while (!rest.empty()) {
        if (pelorix::takeFrame(rest, &frame)) {
            frames.push_back(frame);
        } else if (!rest.empty()) {
            // The input ends inside the frame this preamble begins: the next preamble may begin
            // one that does not.
            rest.erase(rest.begin());
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
