// The device channel on real pseudo-terminals and files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include "channel/device_channel.h"
#include "channel/platform.h"
#include "channel/posix_codes.h"
#include "channel/tty_extras.h"
#include "tests/support.h"

using namespace qorv;
using namespace testing_support;

namespace {

constexpr int32_t IN_QUEUE = 4096;
constexpr int32_t OUT_QUEUE = 1024;

termios settingsOf(const PtyPair& pty) {
    termios tio{};
    tcgetattr(pty.slaveFd(), &tio);
    return tio;
}

}  // namespace

TEST(ChannelPort, LineSettingsReadBackFromTheOtherSide) {
    PtyPair pty;
    // The line starts as a terminal left cooked by another program.
    termios cooked = settingsOf(pty);
    cooked.c_iflag |= ICRNL | IXON | BRKINT;
    cooked.c_oflag |= OPOST;
    cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    tcsetattr(pty.slaveFd(), TCSANOW, &cooked);
    DeviceChannel channel;
    ASSERT_EQ(channel.openPortPath(pty.path().c_str(), 9600, IN_QUEUE, OUT_QUEUE), RESULT_OK);
    EXPECT_EQ(channel.portOpen, 1);
    const termios tio = settingsOf(pty);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_cflag & (PARENB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ISTRIP | ICRNL | INLCR | IGNCR | BRKINT), 0u);
    // Input checked: some USB adapters' drivers count line errors only then.
    EXPECT_NE(tio.c_iflag & INPCK, 0u);
    EXPECT_EQ(tio.c_iflag & (PARMRK | IGNPAR), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
#ifdef TIOCGSERIAL
    // A pseudo-terminal has no low-latency mode to ask for: the open went on without it.
    char serial[512];
    EXPECT_NE(ioctl(pty.slaveFd(), TIOCGSERIAL, serial), 0);
#endif
    channel.close();

    ASSERT_EQ(channel.openPortPath(pty.path().c_str(), 115200, IN_QUEUE, OUT_QUEUE), RESULT_OK);
    const termios fast = settingsOf(pty);
    EXPECT_EQ(cfgetospeed(&fast), static_cast<speed_t>(B115200));
}

TEST(ChannelPort, BaudRatesThatCannotBeSetFailTheOpen) {
    PtyPair pty;
    DeviceChannel channel;
    for (int32_t rate : {0, -9600}) {
        EXPECT_EQ(channel.openPortPath(pty.path().c_str(), rate, IN_QUEUE, OUT_QUEUE),
                  RESULT_OPEN_FAILED)
            << rate;
        EXPECT_FALSE(channel.isOpen());
    }
#ifdef TIOCGEXCL
    int exclusive = -1;
    ASSERT_EQ(ioctl(pty.slaveFd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "a refused open leaves the tty marked exclusive";
#endif
    // The channel is closed again: the next open is not refused as already open or locked.
    EXPECT_EQ(channel.openPortPath(pty.path().c_str(), 250000, IN_QUEUE, OUT_QUEUE), RESULT_OK);
#ifdef QORV_TEST_LINE_SPEED
    EXPECT_EQ(lineSpeedOf(pty.slaveFd()), 250000);
#endif
}

namespace {

// Drivers that set a rate of their own and say so, as functions from rate asked to rate set.
int32_t cp2102Table(void*, int32_t asked) {
    // The chip's table: each row's rate runs every rate asked up to the row's limit.
    const int32_t rows[][2] = {{57600, 58053},   {64000, 64111},   {76800, 77608},
                               {115200, 117028}, {128000, 129347}, {153600, 156868},
                               {230400, 237832}, {250000, 254234}, {256000, 273066}};
    if (asked < 57600) {
        return asked;
    }
    for (const auto& row : rows) {
        if (asked <= row[1]) {
            return row[0];
        }
    }
    return asked;
}
int32_t wholeDivisorOf115200(void*, int32_t asked) {
    const int32_t divisor = (115200 + asked / 2) / asked;
    return 115200 / (divisor > 0 ? divisor : 1);
}
int32_t atMost1000000(void*, int32_t asked) {
    return std::min(asked, 1000000);
}
int32_t atLeast300(void*, int32_t asked) {
    return std::max(asked, 300);
}

}  // namespace

TEST(ChannelPort, RatesADriverSetsNearOneItRoundsAreFoundAndSaid) {
    const struct {
        platform::RateSetter driver;
        int32_t asked;
        int32_t below;
        int32_t above;
        const char* said;
    } cases[] = {
        {cp2102Table, 100000, 76800, 115200,
         "its clock makes 76800 and 115200 baud near 100000, not 100000 within 3%"},
        {cp2102Table, 240000, 230400, 250000,
         "its clock makes 230400 and 250000 baud near 240000, not 240000 within 3%"},
        {wholeDivisorOf115200, 90000, 57600, 115200,
         "its clock makes 57600 and 115200 baud near 90000, not 90000 within 3%"},
        {atMost1000000, 1500000, 1000000, 0,
         "its clock makes 1000000 baud nearest 1500000, not 1500000 within 3%"},
        {atLeast300, 100, 0, 300, "its clock makes 300 baud nearest 100, not 100 within 3%"},
    };
    for (const auto& c : cases) {
        const int32_t made = c.driver(nullptr, c.asked);
        EXPECT_FALSE(platform::rateClose(c.asked, made)) << c.asked;
        OpenFailure failure;
        failure.rateAsked = c.asked;
        platform::searchNearRates(c.driver, nullptr, c.asked, made, &failure.rateBelow,
                                  &failure.rateAbove);
        EXPECT_EQ(failure.rateBelow, c.below) << c.asked;
        EXPECT_EQ(failure.rateAbove, c.above) << c.asked;
        char said[160];
        platform::describeOpenError(platform::ERROR_RATE_NOT_MADE, failure, said, sizeof said);
        EXPECT_STREQ(said, c.said);
    }
    // Within 3% either way is the rate asked.
    EXPECT_TRUE(platform::rateClose(115200, 115384));
    EXPECT_TRUE(platform::rateClose(100000, 97000));
    EXPECT_FALSE(platform::rateClose(100000, 96999));
}

TEST(ChannelPort, EveryByteValueCrossesUnchangedBothWays) {
    PtyPair pty;
    DeviceChannel channel;
    ASSERT_EQ(channel.openPortPath(pty.path().c_str(), 115200, IN_QUEUE, OUT_QUEUE), RESULT_OK);
    Bytes all(256);
    for (int i = 0; i < 256; ++i) {
        all[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    }
    EXPECT_EQ(channel.writeBytes(all.data(), 256), 256);
    EXPECT_EQ(pty.read(256), all);

    pty.write(all);
    Bytes got;
    uint8_t buffer[300];
    const double end = nowSeconds() + 2;
    while (got.size() < 256 && nowSeconds() < end) {
        const int32_t n = channel.readBytes(buffer, static_cast<int32_t>(sizeof buffer));
        got.insert(got.end(), buffer, buffer + n);
    }
    EXPECT_EQ(got, all);
}

TEST(ChannelPort, SecondOpenerIsRefusedUntilTheFirstCloses) {
    PtyPair pty;
    DeviceChannel first;
    DeviceChannel second;
    ASSERT_EQ(first.openPortPath(pty.path().c_str(), 115200, IN_QUEUE, OUT_QUEUE), RESULT_OK);
    EXPECT_EQ(second.openPortPath(pty.path().c_str(), 115200, IN_QUEUE, OUT_QUEUE),
              RESULT_OPEN_FAILED);
    EXPECT_NE(second.osError(), 0);
    first.close();
#ifdef TIOCGEXCL
    // A normal close releases the exclusive mark, seen from the side that keeps the tty open (a
    // second opener here is root, whom the mark does not keep out).
    int exclusive = -1;
    ASSERT_EQ(ioctl(pty.slaveFd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
#endif
    EXPECT_EQ(second.openPortPath(pty.path().c_str(), 115200, IN_QUEUE, OUT_QUEUE), RESULT_OK);

    // A device that is no tty is refused and its descriptor closed again.
    TempDir dir;
    writeFile(dir.file("plain"), {});
    const int before = dup(0);
    close(before);
    DeviceChannel notTty;
    EXPECT_EQ(notTty.openPortPath(dir.file("plain").c_str(), 115200, IN_QUEUE, OUT_QUEUE),
              RESULT_OPEN_FAILED);
    const int after = dup(0);
    close(after);
    EXPECT_EQ(after, before);
}

TEST(ChannelPort, ReadsWaitAboutOneMillisecondAndNeverSpin) {
    PtyPair pty;
    DeviceChannel channel;
    ASSERT_EQ(channel.openPortPath(pty.path().c_str(), 115200, IN_QUEUE, OUT_QUEUE), RESULT_OK);
    uint8_t buffer[16];
    std::vector<double> waits;
    for (int i = 0; i < 50; ++i) {
        const double start = nowSeconds();
        EXPECT_EQ(channel.readBytes(buffer, 16), 0);
        waits.push_back(nowSeconds() - start);
    }
    std::sort(waits.begin(), waits.end());
    EXPECT_GE(waits[25], 0.0009);
    EXPECT_LT(waits[25], 0.05);

    pty.write({1, 2, 3});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double start = nowSeconds();
    EXPECT_EQ(channel.readBytes(buffer, 16), 3);
    EXPECT_LT(nowSeconds() - start, 0.05);

    // A hung-up line answers poll() at once; reads must still sleep.
    pty.hangUp();
    const double cpuStart = processCpuSeconds();
    const double wallStart = nowSeconds();
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(channel.readBytes(buffer, 16), 0);
    }
    const double wall = nowSeconds() - wallStart;
    EXPECT_GE(wall, 0.15);
    EXPECT_LT(processCpuSeconds() - cpuStart, wall * 0.5);
}

TEST(ChannelPort, WritesAreCompleteWhenThePeerIsSlowAndSignalsInterrupt) {
    PtyPair pty;
    DeviceChannel channel;
    ASSERT_EQ(channel.openPortPath(pty.path().c_str(), 115200, IN_QUEUE, OUT_QUEUE), RESULT_OK);
    // Far more than a pty holds, so that the driver takes it in partial writes with waits between.
    Bytes big(512 * 1024);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
    }
    // A signal every millisecond interrupts the waits (no SA_RESTART); the peer never sees it.
    struct sigaction tick {};
    tick.sa_handler = [](int) {};
    sigaction(SIGALRM, &tick, nullptr);
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    Bytes received;
    std::thread peer([&] {
        while (received.size() < big.size()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const Bytes more = pty.read(16384, 500);
            if (more.empty()) {
                break;
            }
            received.insert(received.end(), more.begin(), more.end());
        }
    });
    pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    itimerval every{{0, 1000}, {0, 1000}};
    setitimer(ITIMER_REAL, &every, nullptr);
    const int32_t written = channel.writeBytes(big.data(), static_cast<int32_t>(big.size()));
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    peer.join();
    EXPECT_EQ(written, static_cast<int32_t>(big.size()));
    EXPECT_EQ(channel.ioError(), 0);
    EXPECT_TRUE(received == big) << received.size() << " bytes arrived";

    // A peer that stops taking bytes: the write gives up at its time limit and says so.
    const double start = nowSeconds();
    EXPECT_LT(channel.writeBytes(big.data(), static_cast<int32_t>(big.size())),
              static_cast<int32_t>(big.size()));
    EXPECT_EQ(channel.ioError(), ETIMEDOUT);
    EXPECT_GE(nowSeconds() - start, 0.45);
    EXPECT_LT(nowSeconds() - start, 10.0);

    // The kept error belongs to one exchange: the next one starts without it.
    while (!pty.drain(20).empty()) {
    }
    std::thread device([&] {
        pty.read(5);
        pty.write({0xFA, 0xFF, 0x31, 0x00, 0xD0});
    });
    EXPECT_EQ(channel.sendCommand(MID_PROBE, 0, 0, BID_DEFAULT), RESULT_OK);
    device.join();
    EXPECT_EQ(channel.ioError(), 0);
}

TEST(ChannelState, CloseResetsAndSecondOpenLeavesTheChannelAsItWas) {
    PtyPair pty;
    TempDir dir;
    DeviceChannel channel;
    ASSERT_EQ(channel.openPortPath(pty.path().c_str(), 115200, IN_QUEUE, OUT_QUEUE), RESULT_OK);
    const OsHandle handle = channel.handle;
    channel.timeoutMs = 77;
    channel.deadline = 1234;
    channel.carryCount = 3;
    channel.deviceError = 9;
    EXPECT_EQ(channel.openFile(dir.file("x").c_str()), RESULT_ALREADY_OPEN);
    EXPECT_EQ(channel.openPortPath(pty.path().c_str(), 115200, IN_QUEUE, OUT_QUEUE),
              RESULT_ALREADY_OPEN);
    EXPECT_EQ(channel.lastResult, RESULT_ALREADY_OPEN);
    EXPECT_EQ(channel.handle, handle);
    EXPECT_EQ(channel.portOpen, 1);
    EXPECT_EQ(channel.fileOpen, 0);
    EXPECT_EQ(channel.timeoutMs, 77);
    EXPECT_EQ(channel.deadline, 0);
    EXPECT_EQ(channel.carryCount, 3);
    EXPECT_EQ(access(dir.file("x").c_str(), F_OK), -1);

    EXPECT_EQ(channel.close(), RESULT_OK);
    EXPECT_EQ(channel.portOpen, 0);
    EXPECT_EQ(channel.timeoutMs, 500);
    EXPECT_EQ(channel.carryCount, 0);
    EXPECT_EQ(channel.deviceError, 0);
    EXPECT_EQ(channel.lastResult, RESULT_OK);
    uint8_t buffer[4];
    EXPECT_EQ(channel.readBytes(buffer, 4), 0);
    EXPECT_EQ(channel.lastResult, RESULT_NOT_OPEN);
    EXPECT_EQ(channel.writeBytes(buffer, 4), 0);
    EXPECT_EQ(channel.lastResult, RESULT_NOT_OPEN);
    EXPECT_EQ(channel.close(), RESULT_OK);
}

TEST(ChannelPort, NumberedPortsAndMissingDevicesKeepTheSystemReason) {
    DeviceChannel channel;
    EXPECT_EQ(channel.openPort(0, 115200, IN_QUEUE, OUT_QUEUE), RESULT_OPEN_FAILED);
    EXPECT_STREQ(channel.openedName(), "/dev/ttyS-1");
    EXPECT_EQ(channel.osError(), ENOENT);
    char reason[128];
    channel.describeOsError(reason, sizeof reason);
    EXPECT_STREQ(reason, std::strerror(ENOENT));
    channel.openPort(3, 115200, IN_QUEUE, OUT_QUEUE);
    EXPECT_STREQ(channel.openedName(), "/dev/ttyS2");
    channel.close();
    // A file is no serial port.
    TempDir dir;
    writeFile(dir.file("plain"), {1, 2, 3});
    EXPECT_EQ(channel.openPortPath(dir.file("plain").c_str(), 115200, IN_QUEUE, OUT_QUEUE),
              RESULT_OPEN_FAILED);
    EXPECT_EQ(channel.osError(), ENOTTY);
}

TEST(ChannelFile, OpenedReadOnlyAndNeverCreated) {
    TempDir dir;
    const std::string path = dir.file("settings.qorv");
    DeviceChannel channel;
    EXPECT_EQ(channel.openFile(path.c_str()), RESULT_OPEN_FAILED);
    EXPECT_EQ(channel.osError(), ENOENT);
    EXPECT_NE(access(path.c_str(), F_OK), 0);

    writeFile(path, {1, 2, 3});
    ASSERT_EQ(channel.openFile(path.c_str()), RESULT_OK);
    EXPECT_EQ(channel.fileOpen, 1);
    EXPECT_EQ(channel.timeoutMs, 0);
    EXPECT_EQ(fcntl(static_cast<int>(channel.handle), F_GETFL) & O_ACCMODE, O_RDONLY);
    uint8_t buffer[8];
    EXPECT_EQ(channel.writeBytes(buffer, 8), 0);
    EXPECT_EQ(channel.readBytes(buffer, 8), 3);
    EXPECT_EQ(channel.readBytes(buffer, 8), 0);
    EXPECT_EQ(channel.lastResult, RESULT_END_OF_FILE);
    channel.close();
    EXPECT_EQ(channel.timeoutMs, 500);
    EXPECT_EQ(readFile(path), (Bytes{1, 2, 3}));

    EXPECT_EQ(channel.openFile(dir.path().c_str()), RESULT_OPEN_FAILED);
    EXPECT_EQ(channel.osError(), EISDIR);
    EXPECT_EQ(channel.openFile(dir.file("no/such/dir").c_str()), RESULT_OPEN_FAILED);
    // A terminal or a FIFO never ends: reading one as a settings file could wait for ever.
    PtyPair pty;
    EXPECT_EQ(channel.openFile(pty.path().c_str()), RESULT_OPEN_FAILED);
    char reason[64];
    channel.describeOsError(reason, sizeof reason);
    EXPECT_STREQ(reason, "Not a regular file");
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(channel.openFile(dir.file("fifo").c_str()), RESULT_OPEN_FAILED);
    EXPECT_FALSE(channel.isOpen());
}

TEST(ChannelFile, ReadOnlyFileCanBeOpened) {
    TempDir dir;
    const std::string path = dir.file("locked");
    writeFile(path, {1});
    chmod(path.c_str(), 0444);
    DeviceChannel channel;
    EXPECT_EQ(channel.openFile(path.c_str()), RESULT_OK);
}
