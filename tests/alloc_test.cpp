// Channel and protocol code allocate nothing: every global operator new on this thread is
// counted while reads and exchanges run.
#include <gtest/gtest.h>

#include <thread>

#include "channel/device_channel.h"
#include "tests/counting_new.h"
#include "tests/support.h"

using namespace qorv;
using namespace testing_support;
using allocation_count::allocations;
using allocation_count::counting;

TEST(Allocation, NoneDuringReadsAndExchanges) {
    PtyPair pty;
    TempDir dir;
    const std::string settingsPath = dir.file("settings");
    writeFile(settingsPath, concat({{0x00, 0xFA, 0x01}, frameOf(0x91, Bytes(1056, 7))}));
    std::thread peer([&] {
        pty.read(5, 2000);
        pty.write({0xFA, 0xFF, 0x31, 0x00, 0xD0});
        pty.read(5, 2000);
        pty.write({0xFA, 0xFF, 0x01, 0x04, 0x00, 0x30, 0x03, 0x60, 0x69});
        pty.read(74, 2000);
        pty.write({0xFA, 0xFF, 0x42, 0x01, 0x04, 0xBA});
    });

    DeviceChannel port;
    DeviceChannel file;
    uint8_t data[MAX_DATA_LENGTH];
    uint16_t length = 0;
    counting = true;
    port.openPortPath(pty.path().c_str(), 115200, 4096, 1024);
    port.timeoutMs = 100;
    file.openFile(settingsPath.c_str());
    const ResultCode probe = port.sendCommand(MID_PROBE, 0, 0, BID_DEFAULT);
    const ResultCode settings = file.waitForMessage(MID_QORV_DATA, data, &length, nullptr);
    const ResultCode identity = port.requestData(MID_REQ_IDENTITY, data, &length, BID_DEFAULT);
    const ResultCode block = port.sendMessage(MID_STORE_BLOCK, data, 69, BID_DEFAULT);
    const ResultCode silent = port.sendCommand(MID_FINISH, 0, 0, BID_DEFAULT);
    port.close();
    file.close();
    counting = false;
    peer.join();

    EXPECT_EQ(probe, RESULT_OK);
    EXPECT_EQ(settings, RESULT_OK);
    EXPECT_EQ(identity, RESULT_OK);
    EXPECT_EQ(block, RESULT_DEVICE_ERROR);
    EXPECT_EQ(silent, RESULT_NO_REPLY);
    EXPECT_EQ(allocations, 0);
}
