// Shared by the fuzz targets: invariants about frames and the checksum fix-up mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/counting_new.h"

namespace fuzzing {

// Fails hard, so that libFuzzer and the replay runner both report the input.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

using allocation_count::allocations;
using allocation_count::counting;

bool frameIsValid(const uint8_t* frame, size_t length);

// Rewrites the checksum of every candidate frame, left to right, so that it is valid: without
// this, a fuzzer rarely gets past the checksum to the code behind it.
void fixUpChecksums(std::vector<uint8_t>& bytes);

// Builds a stream of valid frames separated by noise without a preamble, from fuzzer bytes;
// the frames are appended to `frames` (each as its own byte vector).
std::vector<uint8_t> structuredStream(const uint8_t* bytes, size_t size,
                                      std::vector<std::vector<uint8_t>>* frames);

// The input of one run: by `mode` (the caller's first input byte, modulo 3) the bytes as they
// are (0), with checksums fixed up (1), or a structured stream of valid frames (2), whose frames
// are then appended to `frames`.
std::vector<uint8_t> inputForMode(int mode, const uint8_t* bytes, size_t size,
                                  std::vector<std::vector<uint8_t>>* frames);

// The frames an ideal reader finds in a complete input: every preamble is tried in order, a
// valid frame is taken whole and reading goes on after it. The device's own parser, apart from
// the tool's reader, to check it against.
std::vector<std::vector<uint8_t>> referenceFrames(const std::vector<uint8_t>& input);

// The position of `frame` in `input` at or after `from`, or -1.
long find(const std::vector<uint8_t>& input, const uint8_t* frame, size_t length, size_t from);

}  // namespace fuzzing
