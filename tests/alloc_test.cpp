// Channel and protocol code allocate nothing: every global operator new on this thread is
// counted while reads and exchanges run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <thread>

#include "channel/device_channel.h"
#include "tests/support.h"

namespace {
thread_local long allocations = 0;
thread_local bool counting = false;
}  // namespace

// Every form of new and delete is replaced, so that all of them pair up on malloc and free (the
// sanitizers check that they do).
namespace {
void* allocate(std::size_t size) {
    if (counting) {
        ++allocations;
    }
    return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(std::size_t size) {
    if (void* block = allocate(size)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}

using namespace qorv;
using namespace testing_support;

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
    file.openFile(settingsPath.c_str(), false);
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
