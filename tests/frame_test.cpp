// Frame building against published vectors and the length-form boundaries.
#include "protocol/frame.h"

#include <gtest/gtest.h>

#include "tests/support.h"

using namespace qorv;
using testing_support::Bytes;
using testing_support::frameOf;

namespace {

Bytes build(uint8_t mid, const Bytes& data) {
    uint8_t frame[FRAME_BUFFER_SIZE];
    const int32_t length =
        buildFrame(frame, BID_DEFAULT, mid, data.data(), static_cast<int32_t>(data.size()));
    return Bytes(frame, frame + length);
}

}  // namespace

TEST(Frame, PublishedVectors) {
    EXPECT_EQ(build(MID_PROBE, {}), (Bytes{0xFA, 0xFF, 0x30, 0x00, 0xD1}));
    EXPECT_EQ(build(MID_REQ_IDENTITY, {}), (Bytes{0xFA, 0xFF, 0x00, 0x00, 0x01}));
    EXPECT_EQ(build(MID_FINISH, {}), (Bytes{0xFA, 0xFF, 0x40, 0x00, 0xC1}));
    uint8_t value[2];
    putBigEndian(300, value, 2);
    EXPECT_EQ(build(MID_PROBE, Bytes(value, value + 2)),
              (Bytes{0xFA, 0xFF, 0x30, 0x02, 0x01, 0x2C, 0xA2}));
}

TEST(Frame, LengthFormsAtTheBoundary) {
    const Bytes at254 = build(0x91, Bytes(254, 0xAB));
    EXPECT_EQ(at254.size(), 259u);
    EXPECT_EQ(at254[3], 0xFE);
    EXPECT_EQ(at254, frameOf(0x91, Bytes(254, 0xAB)));

    const Bytes at255 = build(0x91, Bytes(255, 0xAB));
    ASSERT_EQ(at255.size(), 262u);
    EXPECT_EQ(Bytes(at255.begin(), at255.begin() + 6), (Bytes{0xFA, 0xFF, 0x91, 0xFF, 0x00, 0xFF}));
    EXPECT_EQ(at255, frameOf(0x91, Bytes(255, 0xAB)));

    const Bytes longest = build(0x91, Bytes(MAX_DATA_LENGTH, 0x5A));
    EXPECT_EQ(longest.size(), 2055u);
    EXPECT_EQ(longest[4], 0x08);
    EXPECT_EQ(longest[5], 0x00);
}

TEST(Frame, ChecksumMakesTheSumZeroWhateverTheBytes) {
    for (int seed = 0; seed < 256; ++seed) {
        uint8_t frame[8] = {0xFA, static_cast<uint8_t>(seed),      static_cast<uint8_t>(seed * 7),
                            3,    static_cast<uint8_t>(seed * 13), 0xFA,
                            0xFF};
        putChecksum(frame, 7);
        unsigned sum = 0;
        for (int i = 1; i < 8; ++i) {
            sum += frame[i];
        }
        EXPECT_EQ(sum % 256, 0u) << seed;
    }
    uint8_t tiny[2] = {0x77, 0x77};
    putChecksum(tiny, 1);
    EXPECT_EQ(tiny[1], 0);
}

TEST(Frame, BigEndianWritesTheLowBytesHighFirst) {
    uint8_t out[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    putBigEndian(0x12345678, out, 0);
    EXPECT_EQ(out[0], 0xEE);
    putBigEndian(0x12345678, out, 1);
    EXPECT_EQ(out[0], 0x78);
    putBigEndian(0x12345678, out, 3);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x34, 0x56, 0x78, 0xEE}));
    putBigEndian(-2, out, 4);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{0xFF, 0xFF, 0xFF, 0xFE, 0xEE}));
}
