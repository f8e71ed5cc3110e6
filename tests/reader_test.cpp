// The frame reader on files and on real pseudo-terminals: resynchronisation, carry-over,
// chunked arrival, the time limit and the end of a file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <thread>

#include "channel/device_channel.h"
#include "tests/support.h"

using namespace qorv;
using namespace testing_support;

namespace {

Bytes frameIn(const uint8_t* buffer, uint16_t length) {
    return Bytes(buffer, buffer + length);
}

// Reads frames until the reader reports anything but success.
std::vector<Bytes> readFrames(DeviceChannel& channel, ResultCode* last = nullptr) {
    std::vector<Bytes> frames;
    uint8_t buffer[FRAME_BUFFER_SIZE];
    for (;;) {
        uint16_t length = 0;
        const ResultCode result = channel.readMessage(buffer, &length);
        if (result != RESULT_OK) {
            if (last != nullptr) {
                *last = result;
            }
            return frames;
        }
        frames.push_back(frameIn(buffer, length));
    }
}

std::vector<Bytes> readFromFile(const Bytes& stream) {
    TempDir dir;
    writeFile(dir.file("stream"), stream);
    DeviceChannel channel;
    EXPECT_EQ(channel.openFile(dir.file("stream").c_str()), RESULT_OK);
    ResultCode last = RESULT_OK;
    std::vector<Bytes> frames = readFrames(channel, &last);
    EXPECT_EQ(last, RESULT_END_OF_FILE);
    return frames;
}

// The peer writes the stream in pieces of `chunk` bytes with pauses; the reader ends at a
// short time limit after the last frame.
std::vector<Bytes> readFromPty(const Bytes& stream, size_t chunk) {
    PtyPair pty;
    DeviceChannel channel;
    EXPECT_EQ(channel.openPortPath(pty.path().c_str(), 115200, 4096, 1024), RESULT_OK);
    channel.timeoutMs = 150;
    std::thread peer([&] { pty.writeChunked(stream, chunk, 1); });
    ResultCode last = RESULT_OK;
    std::vector<Bytes> frames = readFrames(channel, &last);
    peer.join();
    EXPECT_EQ(last, RESULT_TIMEOUT);
    return frames;
}

// Every way the stream can arrive must give the same frames.
void expectFramesEverywhere(const Bytes& stream, const std::vector<Bytes>& expected,
                            std::initializer_list<size_t> chunks = {1, 3, 7}) {
    EXPECT_EQ(readFromFile(stream), expected) << "file";
    EXPECT_EQ(readFromPty(stream, stream.size()), expected) << "pty, whole";
    for (size_t chunk : chunks) {
        EXPECT_EQ(readFromPty(stream, chunk), expected) << "pty, chunks of " << chunk;
    }
}

const Bytes PROBE_ACK{0xFA, 0xFF, 0x31, 0x00, 0xD0};
const Bytes FINISH_ACK{0xFA, 0xFF, 0x41, 0x00, 0xC0};

}  // namespace

TEST(ReaderResync, NoiseBeforeAFrameIsDropped) {
    expectFramesEverywhere({0x00, 0x12, 0xFA, 0xFF, 0x31, 0x00, 0xD0}, {PROBE_ACK});
}

TEST(ReaderResync, BadFrameHidingValidFramesCarriesTheRest) {
    const Bytes stream{0xFA, 0xFF, 0x30, 0x0B, 0xFA, 0xFF, 0x31, 0x00,
                       0xD0, 0x00, 0xFA, 0xFF, 0x41, 0x00, 0xC0, 0xD3};
    expectFramesEverywhere(stream, {PROBE_ACK, FINISH_ACK});

    // Step by step: the second frame comes from the carry-over, without reading the channel. A
    // file is read in blocks, so the carry-over holds the rest of this small file.
    TempDir dir;
    Bytes withTail = stream;
    withTail.insert(withTail.end(), PROBE_ACK.begin(), PROBE_ACK.end());
    writeFile(dir.file("stream"), withTail);
    DeviceChannel channel;
    ASSERT_EQ(channel.openFile(dir.file("stream").c_str()), RESULT_OK);
    uint8_t buffer[FRAME_BUFFER_SIZE];
    uint16_t length = 0;
    ASSERT_EQ(channel.readMessage(buffer, &length), RESULT_OK);
    EXPECT_EQ(frameIn(buffer, length), PROBE_ACK);
    EXPECT_EQ(Bytes(channel.carry, channel.carry + channel.carryCount),
              Bytes(withTail.begin() + 9, withTail.end()));
    const off_t offset = lseek(static_cast<int>(channel.handle), 0, SEEK_CUR);
    ASSERT_EQ(channel.readMessage(buffer, &length), RESULT_OK);
    EXPECT_EQ(frameIn(buffer, length), FINISH_ACK);
    EXPECT_EQ(lseek(static_cast<int>(channel.handle), 0, SEEK_CUR), offset);
    EXPECT_EQ(Bytes(channel.carry, channel.carry + channel.carryCount),
              Bytes(withTail.begin() + 15, withTail.end()));
    ASSERT_EQ(channel.readMessage(buffer, &length), RESULT_OK);
    EXPECT_EQ(frameIn(buffer, length), PROBE_ACK);

    // Closing drops what was carried over: a file opened next starts with its own bytes.
    ASSERT_EQ(channel.readMessage(buffer, &length), RESULT_END_OF_FILE);
    channel.close();
    ASSERT_EQ(channel.openFile(dir.file("stream").c_str()), RESULT_OK);
    ASSERT_EQ(channel.readMessage(buffer, &length), RESULT_OK);
    ASSERT_EQ(channel.carryCount, 12);
    channel.close();
    writeFile(dir.file("empty"), {});
    ASSERT_EQ(channel.openFile(dir.file("empty").c_str()), RESULT_OK);
    EXPECT_EQ(channel.readMessage(buffer, &length), RESULT_END_OF_FILE);
}

TEST(ReaderResync, BytesBehindANestedBadFrameAreNotLost) {
    // The inner frame FA FF 31 00 00 is bad too; the valid frame after it was already received
    // and must still be found.
    expectFramesEverywhere({0xFA, 0xFF, 0x30, 0x0B, 0xFA, 0xFF, 0x31, 0x00, 0x00, 0x00, 0xFA, 0xFF,
                            0x41, 0x00, 0xC0, 0xD3},
                           {FINISH_ACK});
}

TEST(ReaderResync, BadChecksumWithPreambleInItsDataIsReexamined) {
    // A frame whose data holds a complete valid frame; its own checksum is wrong.
    Bytes outer = frameOf(0x55, concat({{0x01}, PROBE_ACK, {0x02}}));
    outer.back() ^= 0x01;
    expectFramesEverywhere(concat({outer, FINISH_ACK}), {PROBE_ACK, FINISH_ACK});
}

TEST(ReaderLengths, ExtendedLengthLimits) {
    const Bytes longest = frameOf(0x91, Bytes(2048, 0x11));
    Bytes tooLong{0xFA, 0xFF, 0x91, 0xFF, 0x08, 0x01};
    tooLong.insert(tooLong.end(), 2050, 0x11);
    // Long streams arrive in larger pieces: byte by byte they would outlast the time limit.
    expectFramesEverywhere(concat({longest, tooLong, PROBE_ACK}), {longest, PROBE_ACK}, {97, 511});
    // A preamble inside the six rejected header bytes restarts parsing there.
    expectFramesEverywhere({0xFA, 0xFF, 0x91, 0xFF, 0xFA, 0xFF, 0x31, 0x00, 0xD0}, {PROBE_ACK});
    // The extended form is accepted below 255 too.
    expectFramesEverywhere({0xFA, 0xFF, 0x31, 0xFF, 0x00, 0x00, 0xD1},
                           {{0xFA, 0xFF, 0x31, 0xFF, 0x00, 0x00, 0xD1}});
}

TEST(ReaderResync, SeededRandomStreamRecoversEveryFrameInOrder) {
    std::mt19937 random(20261208);
    Bytes stream;
    std::vector<Bytes> expected;
    for (int i = 0; i < 60; ++i) {
        const int noise = static_cast<int>(random() % 6);
        for (int n = 0; n < noise; ++n) {
            uint8_t byte = static_cast<uint8_t>(random());
            stream.push_back(byte == 0xFA ? 0x00 : byte);
        }
        const size_t length = random() % 4 == 0 ? 250 + random() % 300 : random() % 20;
        Bytes data(length);
        for (uint8_t& byte : data) {
            byte = static_cast<uint8_t>(random());
        }
        expected.push_back(frameOf(static_cast<uint8_t>(random()), data));
        stream.insert(stream.end(), expected.back().begin(), expected.back().end());
    }
    EXPECT_EQ(readFromFile(stream), expected);
    EXPECT_EQ(readFromPty(stream, 97), expected);
}

TEST(ReaderEnds, FileEndsAndClosedChannel) {
    // A file without a valid frame ends, however long: a file never times out.
    Bytes noise(200000, 0x01);
    noise[1000] = 0xFA;
    EXPECT_TRUE(readFromFile(noise).empty());
    // A partly read frame at the end of a file is dropped...
    EXPECT_EQ(readFromFile(concat({PROBE_ACK, {0xFA, 0xFF, 0x31}})), std::vector<Bytes>{PROBE_ACK});
    // ...but a complete frame behind a later preamble in it is still found, as after a time limit.
    EXPECT_EQ(readFromFile(concat({{0xFA, 0xFF, 0x7E, 0x20}, FINISH_ACK})),
              std::vector<Bytes>{FINISH_ACK});

    DeviceChannel closed;
    uint8_t buffer[FRAME_BUFFER_SIZE];
    uint16_t length = 77;
    EXPECT_EQ(closed.readMessage(buffer, &length), RESULT_NOT_OPEN);
    EXPECT_EQ(closed.lastResult, RESULT_NOT_OPEN);
    EXPECT_EQ(length, 77);
}

TEST(ReaderTime, SilentPortTimesOutAtTheLimitOrTheDeadline) {
    PtyPair pty;
    DeviceChannel channel;
    ASSERT_EQ(channel.openPortPath(pty.path().c_str(), 115200, 4096, 1024), RESULT_OK);
    uint8_t buffer[FRAME_BUFFER_SIZE];
    uint16_t length = 0;

    channel.timeoutMs = 200;
    double start = nowSeconds();
    EXPECT_EQ(channel.readMessage(buffer, &length), RESULT_TIMEOUT);
    double elapsed = nowSeconds() - start;
    EXPECT_GE(elapsed, 0.19);
    EXPECT_LT(elapsed, 2.0);

    // A deadline set by an exchange wins over the channel's own limit.
    channel.timeoutMs = 500;
    channel.deadline = DeviceChannel::nowMs() + 100;
    start = nowSeconds();
    EXPECT_EQ(channel.readMessage(buffer, &length), RESULT_TIMEOUT);
    elapsed = nowSeconds() - start;
    EXPECT_GE(elapsed, 0.09);
    EXPECT_LT(elapsed, 0.45);
}

TEST(ReaderTime, PartFrameAtTheLimitResynchronisesOnItsLaterPreamble) {
    PtyPair pty;
    DeviceChannel channel;
    ASSERT_EQ(channel.openPortPath(pty.path().c_str(), 115200, 4096, 1024), RESULT_OK);
    channel.timeoutMs = 150;
    uint8_t buffer[FRAME_BUFFER_SIZE];
    uint16_t length = 0;

    // The false header asks for 6 more bytes; only the 5 of a valid frame ever come.
    pty.write(concat({{0xFA, 0xFF, 0x31, 0x05}, FINISH_ACK}));
    const double start = nowSeconds();
    ASSERT_EQ(channel.readMessage(buffer, &length), RESULT_OK);
    EXPECT_GE(nowSeconds() - start, 0.14);
    EXPECT_EQ(frameIn(buffer, length), FINISH_ACK);

    // Without a later preamble the part frame ends in a timeout, and so does one whose later
    // preamble has less than a header behind it; the next frame is read as usual.
    for (const Bytes& part :
         {Bytes{0xFA, 0xFF, 0x31, 0x05, 0x01, 0x02}, Bytes{0xFA, 0xFF, 0x31, 0x09, 0x01, 0xFA},
          Bytes{0xFA, 0xFF, 0x31, 0x09, 0x01, 0xFA, 0xFF, 0x31}}) {
        pty.write(part);
        EXPECT_EQ(channel.readMessage(buffer, &length), RESULT_TIMEOUT) << hex(part);
    }
    pty.write(PROBE_ACK);
    ASSERT_EQ(channel.readMessage(buffer, &length), RESULT_OK);
    EXPECT_EQ(frameIn(buffer, length), PROBE_ACK);
}

TEST(ReaderTime, LineThatNeverStopsSendingPreamblesEndsTheCall) {
    PtyPair pty;
    DeviceChannel channel;
    ASSERT_EQ(channel.openPortPath(pty.path().c_str(), 115200, 4096, 1024), RESULT_OK);
    channel.timeoutMs = 150;
    std::atomic<bool> stop{false};
    // Never blocks on a full line, so that it stops when told.
    fcntl(pty.masterFd(), F_SETFL, O_NONBLOCK);
    // Three seconds of preambles: far longer than the call may take.
    const double streamEnd = nowSeconds() + 3;
    std::thread babble([&] {
        const Bytes preambles(64, 0xFA);
        while (!stop && nowSeconds() < streamEnd) {
            if (::write(pty.masterFd(), preambles.data(), preambles.size()) < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    uint8_t buffer[FRAME_BUFFER_SIZE];
    uint16_t length = 0;
    const double start = nowSeconds();
    EXPECT_EQ(channel.readMessage(buffer, &length), RESULT_TIMEOUT);
    const double elapsed = nowSeconds() - start;
    stop = true;
    babble.join();
    EXPECT_GE(elapsed, 0.14);
    EXPECT_LT(elapsed, 1.0);
}
