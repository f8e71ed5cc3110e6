// Exchanges against a peer on the pty master answering with fixed bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "channel/device_channel.h"
#include "tests/support.h"

using namespace qorv;
using namespace testing_support;

namespace {

// Reads the request of `requestSize` bytes, then answers with `reply`.
class Peer {
  public:
    Peer(const PtyPair& pty, size_t requestSize, Bytes reply)
        : worker([&pty, requestSize, reply, this] {
              request = pty.read(requestSize, 2000);
              if (!reply.empty()) {
                  pty.write(reply);
              }
          }) {}
    ~Peer() { finish(); }
    void finish() {
        if (worker.joinable()) {
            worker.join();
        }
    }
    Bytes request;

  private:
    std::thread worker;
};

class Exchanges : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(channel.openPortPath(pty.path().c_str(), 115200, 4096, 1024), RESULT_OK);
    }
    PtyPair pty;
    DeviceChannel channel;
};

const Bytes PROBE{0xFA, 0xFF, 0x30, 0x00, 0xD1};
const Bytes PROBE_ACK{0xFA, 0xFF, 0x31, 0x00, 0xD0};

}  // namespace

TEST_F(Exchanges, CommandAcknowledged) {
    Peer peer(pty, 5, {0xFA, 0xFF, 0x31, 0x00, 0xD0});
    EXPECT_EQ(channel.sendCommand(0x30, 0, 0, 0xFF), RESULT_OK);
    peer.finish();
    EXPECT_EQ(peer.request, PROBE);
    EXPECT_EQ(channel.deadline, 0);

    Peer valued(pty, 7, {0xFA, 0xFF, 0x31, 0x00, 0xD0});
    EXPECT_EQ(channel.sendCommand(0x30, 300, 2, 0xFF), RESULT_OK);
    valued.finish();
    EXPECT_EQ(valued.request, (Bytes{0xFA, 0xFF, 0x30, 0x02, 0x01, 0x2C, 0xA2}));
}

TEST_F(Exchanges, DeviceErrorInEitherLengthForm) {
    Peer shortForm(pty, 5, {0xFA, 0xFF, 0x42, 0x01, 0x04, 0xBA});
    EXPECT_EQ(channel.sendCommand(0x30, 0, 0, 0xFF), RESULT_DEVICE_ERROR);
    EXPECT_EQ(channel.deviceError, 4);
    shortForm.finish();

    Peer extended(pty, 5, {0xFA, 0xFF, 0x42, 0xFF, 0x00, 0x01, 0x07, 0xB8});
    EXPECT_EQ(channel.sendCommand(0x30, 0, 0, 0xFF), RESULT_DEVICE_ERROR);
    EXPECT_EQ(channel.deviceError, 7);
    extended.finish();

    Peer noCode(pty, 5, {0xFA, 0xFF, 0x42, 0x00, 0xBF});
    EXPECT_EQ(channel.sendCommand(0x30, 0, 0, 0xFF), RESULT_DEVICE_ERROR);
    EXPECT_EQ(channel.deviceError, 0);
    noCode.finish();

    channel.close();
    EXPECT_EQ(channel.deviceError, 0);
}

TEST_F(Exchanges, TimeoutWhenOnlyOtherFramesCameNoReplyWhenNothingDid) {
    channel.timeoutMs = 200;
    {
        Peer peer(pty, 5, {0xFA, 0xFF, 0x55, 0x00, 0xAC, 0xFA, 0xFF, 0x30, 0x00, 0xD1});
        const double start = nowSeconds();
        EXPECT_EQ(channel.sendCommand(0x30, 0, 0, 0xFF), RESULT_TIMEOUT);
        EXPECT_GE(nowSeconds() - start, 0.19);
    }
    {
        Peer peer(pty, 5, {});
        const double start = nowSeconds();
        EXPECT_EQ(channel.sendCommand(0x30, 0, 0, 0xFF), RESULT_NO_REPLY);
        EXPECT_GE(nowSeconds() - start, 0.19);
        EXPECT_LT(nowSeconds() - start, 2.0);
    }
    EXPECT_EQ(channel.deadline, 0);
    EXPECT_TRUE(channel.isOpen());
}

TEST_F(Exchanges, AnswersAreTakenOnlyFromBytesAfterTheRequest) {
    channel.timeoutMs = 100;
    uint8_t data[MAX_DATA_LENGTH];
    uint16_t length = 0;
    // A late acknowledgement already waiting in the port, and one in the carry-over.
    pty.write({0xFA, 0xFF, 0x31, 0x00, 0xD0});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    channel.carryCount = 5;
    std::copy(PROBE_ACK.begin(), PROBE_ACK.end(), channel.carry);
    {
        Peer peer(pty, 5, {});
        EXPECT_EQ(channel.sendCommand(0x30, 0, 0, 0xFF), RESULT_NO_REPLY);
    }
    pty.write({0xFA, 0xFF, 0x01, 0x00, 0x00});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        Peer peer(pty, 5, {});
        EXPECT_EQ(channel.requestData(0x00, data, &length, 0xFF), RESULT_TIMEOUT);
    }
    EXPECT_EQ(channel.seen.framesBeforeRequest, 1);

    // A late acknowledgement that began before the request and ends after it, then noise: its
    // last bytes are told apart from the noise, so that they are not called noise.
    pty.write(Bytes(PROBE_ACK.begin(), PROBE_ACK.begin() + 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        Peer peer(pty, 5, {0x00, 0xD0, 0x01, 0x02, 0x03, 0x04});
        EXPECT_EQ(channel.sendCommand(0x30, 0, 0, 0xFF), RESULT_NO_REPLY);
    }
    EXPECT_EQ(channel.bytesSinceRequest(), 6u);
    EXPECT_EQ(channel.seen.earlyFrameBytesSinceRequest, 2u);

    // Once refusals count wherever they come: one in hand ends the exchange before its request
    // is written, and one that began before the request fails it when it completes after it.
    channel.strayRefusalsFail = true;
    const Bytes refusal = frameOf(0x42, {0x04});
    pty.write(concat({frameOf(0x97, {}), refusal}));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(channel.sendCommand(0x30, 0, 0, 0xFF), RESULT_DEVICE_ERROR);
    EXPECT_TRUE(channel.seen.refusalBeforeRequest);
    EXPECT_EQ(channel.deviceError, 4);
    EXPECT_EQ(channel.seen.framesBeforeRequest, 2);
    EXPECT_TRUE(pty.drain(20).empty());
    pty.write(Bytes(refusal.begin(), refusal.begin() + 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        Peer peer(pty, 5, Bytes(refusal.begin() + 3, refusal.end()));
        EXPECT_EQ(channel.sendCommand(0x30, 0, 0, 0xFF), RESULT_DEVICE_ERROR);
        EXPECT_TRUE(channel.seen.refusalBeforeRequest);
    }
}

TEST_F(Exchanges, ClosedChannelTouchesNothing) {
    channel.close();
    channel.deviceError = 7;
    const uint8_t payload[2] = {1, 2};
    uint8_t data[MAX_DATA_LENGTH] = {0x55};
    uint16_t length = 99;
    uint8_t bid = 0x33;
    EXPECT_EQ(channel.sendMessage(0x96, payload, 2, 0xFF), RESULT_NOT_OPEN);
    EXPECT_EQ(channel.waitForMessage(0x91, data, &length, &bid), RESULT_NOT_OPEN);
    EXPECT_EQ(channel.requestData(0x00, data, &length, 0xFF), RESULT_NOT_OPEN);
    EXPECT_EQ(channel.lastResult, RESULT_NOT_OPEN);
    channel.lastResult = RESULT_OK;
    EXPECT_EQ(channel.readBytes(data, 1), 0);
    EXPECT_EQ(channel.lastResult, RESULT_NOT_OPEN);
    EXPECT_EQ(length, 99);
    EXPECT_EQ(bid, 0x33);
    EXPECT_EQ(data[0], 0x55);
    EXPECT_EQ(channel.deviceError, 7);
    EXPECT_EQ(channel.deadline, 0);
    EXPECT_TRUE(pty.drain(30).empty());
}

TEST_F(Exchanges, RequestFFIsNeverAcknowledged) {
    channel.timeoutMs = 100;
    Peer peer(pty, 5, {0xFA, 0xFF, 0x00, 0x00, 0x01});
    EXPECT_EQ(channel.sendCommand(0xFF, 0, 0, 0xFF), RESULT_TIMEOUT);
}

TEST_F(Exchanges, CallersDeadlineIsSharedAndKept) {
    channel.timeoutMs = 2000;
    const int32_t deadline = DeviceChannel::nowMs() + 150;
    channel.deadline = deadline;
    Peer peer(pty, 5, {});
    const double start = nowSeconds();
    EXPECT_EQ(channel.sendCommand(0x30, 0, 0, 0xFF), RESULT_NO_REPLY);
    uint8_t data[MAX_DATA_LENGTH];
    uint16_t length = 0;
    EXPECT_EQ(channel.waitForMessage(0x31, data, &length, nullptr), RESULT_TIMEOUT);
    EXPECT_LT(nowSeconds() - start, 1.0);
    EXPECT_EQ(channel.deadline, deadline);
}

TEST_F(Exchanges, MessageUsesTheExtendedFormFrom255) {
    Bytes data(255);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i);
    }
    Peer peer(pty, 262, {0xFA, 0xFF, 0x97, 0x00, 0x6A});
    EXPECT_EQ(channel.sendMessage(0x96, data.data(), 255, 0xFF), RESULT_OK);
    peer.finish();
    EXPECT_EQ(peer.request, frameOf(0x96, data));
}

TEST_F(Exchanges, RequestDataReadsExactlyOneFrame) {
    uint8_t data[MAX_DATA_LENGTH];
    uint16_t length = 99;
    {
        Peer peer(pty, 5, {0xFA, 0xFF, 0x01, 0x04, 0x00, 0x30, 0x03, 0x60, 0x69});
        ASSERT_EQ(channel.requestData(0x00, data, &length, 0xFF), RESULT_OK);
        peer.finish();
        EXPECT_EQ(peer.request, (Bytes{0xFA, 0xFF, 0x00, 0x00, 0x01}));
        EXPECT_EQ(Bytes(data, data + length), (Bytes{0x00, 0x30, 0x03, 0x60}));
    }
    {
        Peer peer(pty, 5, {0xFA, 0xFF, 0x55, 0x00, 0xAC, 0xFA, 0xFF, 0x01, 0x00, 0x00});
        EXPECT_EQ(channel.requestData(0x00, data, &length, 0xFF), RESULT_UNEXPECTED_REPLY);
        EXPECT_EQ(length, 0);
    }
    channel.flush();
    pty.drain(20);
    {
        Peer peer(pty, 5, {0xFA, 0xFF, 0x42, 0x01, 0x09, 0xB5});
        EXPECT_EQ(channel.requestData(0x00, data, &length, 0xFF), RESULT_DEVICE_ERROR);
        EXPECT_EQ(channel.deviceError, 9);
    }
    channel.timeoutMs = 100;
    Peer silent(pty, 5, {});
    EXPECT_EQ(channel.requestData(0x00, data, &length, 0xFF), RESULT_TIMEOUT);
}

TEST(ExchangesOnFiles, NeverWriteAndFindMessages) {
    TempDir dir;
    const std::string path = dir.file("frames");
    const Bytes frames{0xFA, 0xFF, 0x30, 0x00, 0xD1, 0xFA, 0x12,
                       0x91, 0x03, 0x01, 0x02, 0x03, 0x54};
    writeFile(path, frames);
    DeviceChannel reader;
    ASSERT_EQ(reader.openFile(path.c_str()), RESULT_OK);
    // Requests on a file return at once and leave the file as it was.
    const uint8_t payload[3] = {1, 2, 3};
    EXPECT_EQ(reader.sendCommand(0x30, 0, 0, 0xFF), RESULT_OK);
    EXPECT_EQ(reader.sendMessage(0x91, payload, 3, 0x12), RESULT_OK);
    uint8_t data[MAX_DATA_LENGTH];
    uint16_t length = 0;
    EXPECT_EQ(reader.requestData(0x00, data, &length, 0xFF), RESULT_NOT_ON_FILE);
    EXPECT_EQ(readFile(path), frames);

    uint8_t bid = 0;
    ASSERT_EQ(reader.waitForMessage(0x91, data, &length, &bid), RESULT_OK);
    EXPECT_EQ(Bytes(data, data + length), (Bytes{1, 2, 3}));
    EXPECT_EQ(bid, 0x12);
    EXPECT_EQ(reader.waitForMessage(0x91, data, &length, &bid), RESULT_END_OF_FILE);
}

TEST_F(Exchanges, LineThatNeverGoesQuietEndsWithinItsLimit) {
    // A silent device behind one noise byte every 15 ms, and every 2 ms: the bytes in hand never
    // settle, so the request is never written, and the exchange ends within its limit.
    for (int everyMs : {15, 2}) {
        std::atomic<bool> done{false};
        std::thread noise([&] {
            while (!done) {
                pty.write({0x00});
                std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(channel.sendCommand(0x30, 0, 0, 0xFF), RESULT_NO_REPLY);
        const auto took = std::chrono::steady_clock::now() - start;
        done = true;
        noise.join();
        EXPECT_TRUE(channel.seen.lineNeverQuiet) << everyMs;
        EXPECT_GT(channel.seen.bytesBeforeRequest, 0u);
        EXPECT_LT(took, std::chrono::milliseconds(1000)) << everyMs;
        EXPECT_TRUE(pty.drain(20).empty());
    }
}
