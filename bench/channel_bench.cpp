// Channel and protocol figures on real pseudo-terminals and files:
//   idle read wait, sendCommand round trip, CPU during an unanswered exchange, reader throughput.
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "channel/device_channel.h"
#include "tests/support.h"

using namespace qorv;
using Clock = std::chrono::steady_clock;
using testing_support::PtyPair;

namespace {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void idleRead() {
    PtyPair pty;
    DeviceChannel channel;
    channel.openPortPath(pty.path().c_str(), 115200, 4096, 1024);
    uint8_t buffer[16];
    std::vector<double> waits;
    for (int i = 0; i < 1000; ++i) {
        const auto start = Clock::now();
        channel.readBytes(buffer, 16);
        waits.push_back(secondsSince(start));
    }
    std::sort(waits.begin(), waits.end());
    std::printf("idle read wait: median %.3f ms, 99th percentile %.3f ms (1000 reads)\n",
                waits[500] * 1000, waits[990] * 1000);
}

void roundTrip() {
    PtyPair pty;
    DeviceChannel channel;
    channel.openPortPath(pty.path().c_str(), 115200, 4096, 1024);
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        const uint8_t ack[5] = {0xFA, 0xFF, 0x31, 0x00, 0xD0};
        uint8_t request[5];
        size_t have = 0;
        while (!stop) {
            pollfd watch{pty.masterFd(), POLLIN, 0};
            if (poll(&watch, 1, 10) <= 0) {
                continue;
            }
            const ssize_t got = read(pty.masterFd(), request + have, sizeof request - have);
            if (got > 0 && (have += static_cast<size_t>(got)) == sizeof request) {
                have = 0;
                if (write(pty.masterFd(), ack, sizeof ack) != sizeof ack) {
                    return;
                }
            }
        }
    });
    std::vector<double> trips;
    for (int i = 0; i < 1000; ++i) {
        const auto start = Clock::now();
        if (channel.sendCommand(MID_PROBE, 0, 0, BID_DEFAULT) != RESULT_OK) {
            std::printf("round trip: exchange failed\n");
            break;
        }
        trips.push_back(secondsSince(start));
    }
    stop = true;
    peer.join();
    std::printf("sendCommand round trip against a pty peer: median %.3f ms (1000 exchanges)\n",
                median(trips) * 1000);
}

void unansweredExchange() {
    PtyPair pty;
    DeviceChannel channel;
    channel.openPortPath(pty.path().c_str(), 115200, 4096, 1024);
    const double cpuStart = cpuSeconds();
    const auto start = Clock::now();
    const ResultCode result = channel.sendCommand(MID_PROBE, 0, 0, BID_DEFAULT);
    const double wall = secondsSince(start);
    const double cpu = cpuSeconds() - cpuStart;
    std::printf("unanswered exchange (result %u): wall %.1f ms, CPU %.2f ms (%.2f%% of wall)\n",
                result, wall * 1000, cpu * 1000, 100 * cpu / wall);
    // The floor: a bare loop of 1 ms polls on the same kind of port, for as long.
    const double bareCpuStart = cpuSeconds();
    const auto bareStart = Clock::now();
    uint8_t byte = 0;
    while (secondsSince(bareStart) < wall) {
        pollfd watch{pty.masterFd(), POLLIN, 0};
        if (poll(&watch, 1, 1) > 0) {
            (void)!::read(pty.masterFd(), &byte, 1);
        }
    }
    const double bare = cpuSeconds() - bareCpuStart;
    std::printf("bare 1 ms poll loop as long: CPU %.2f ms; the exchange takes %.2f x that\n",
                bare * 1000, cpu / bare);
}

void readerThroughput(const char* kind, bool noise) {
    std::mt19937 random(7);
    for (size_t megabytes : {1, 4, 16, 64}) {
        const size_t size = megabytes << 20;
        std::vector<uint8_t> bytes;
        bytes.reserve(size + 4096);
        while (bytes.size() < size) {
            if (noise) {
                const uint8_t byte = static_cast<uint8_t>(random());
                bytes.push_back(byte == 0xFA ? 0x00 : byte);
                continue;
            }
            uint8_t frame[FRAME_BUFFER_SIZE];
            uint8_t data[1100];
            for (uint8_t& byte : data) {
                byte = static_cast<uint8_t>(random());
            }
            const int32_t length = buildFrame(frame, BID_DEFAULT, 0x55, data, 1056);
            bytes.insert(bytes.end(), frame, frame + length);
        }
        char path[] = "/tmp/qorvbench.XXXXXX";
        const int fd = mkstemp(path);
        if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            std::printf("cannot write %s\n", path);
        }
        close(fd);
        DeviceChannel channel;
        channel.openFile(path);
        uint8_t buffer[FRAME_BUFFER_SIZE];
        uint16_t length = 0;
        long frames = 0;
        const auto start = Clock::now();
        while (channel.readMessage(buffer, &length) == RESULT_OK) {
            ++frames;
        }
        const double seconds = secondsSince(start);
        unlink(path);
        std::printf("reader on a file of %s, %3zu MB: %7.1f MB/s (%ld frames)\n", kind, megabytes,
                    bytes.size() / seconds / 1e6, frames);
    }
}

}  // namespace

int main() {
    idleRead();
    roundTrip();
    unansweredExchange();
    readerThroughput("1056-byte frames", false);
    readerThroughput("noise", true);
    return 0;
}
