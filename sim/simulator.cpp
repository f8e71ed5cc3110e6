#include "sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#if __has_include(<pty.h>)
#include <pty.h>
#else
#include <util.h>  // openpty() on macOS and the BSDs
#endif
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace pelorix {

namespace {

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sleepUntilUs(int64_t when) {
    const int64_t wait = when - nowUs();
    if (wait > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(wait));
    }
}

void writeFully(int fd, const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const ssize_t put = ::write(fd, bytes, count);
        if (put <= 0) {
            return;
        }
        bytes += put;
        count -= static_cast<size_t>(put);
    }
}

}  // namespace

namespace {

std::vector<FaultRule> faultsOf(const SimOptions& options) {
    std::vector<FaultRule> faults = options.faults;
    if (options.hangUpAtBlock >= 0) {
        faults.insert(faults.begin(),
                      FaultRule{EXCHANGE_FIRST_BLOCK + options.hangUpAtBlock, Fault::HangUp, 0});
    }
    return faults;
}

}  // namespace

Simulator::Simulator(SimOptions options)
    : options(options), device(options.identity, faultsOf(options)) {}

Simulator::~Simulator() {
    if (master >= 0) {
        ::close(master);
    }
    if (slave >= 0) {
        ::close(slave);
    }
}

bool openRawPty(int* master, int* slave, std::string* slavePath) {
    if (openpty(master, slave, nullptr, nullptr, nullptr) != 0) {
        return false;
    }
    char name[128];
    if (ptsname_r(*master, name, sizeof name) != 0) {
        ::close(*master);
        ::close(*slave);
        *master = *slave = -1;
        return false;
    }
    *slavePath = name;
    // Raw from the start, so nothing written before the tool configures the line is echoed.
    termios tio{};
    tcgetattr(*slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(*slave, TCSANOW, &tio);
    fcntl(*master, F_SETFD, FD_CLOEXEC);
    fcntl(*slave, F_SETFD, FD_CLOEXEC);
    return true;
}

bool Simulator::open() {
    return openRawPty(&master, &slave, &slaveName);
}

void Simulator::run(const std::atomic<bool>& stop) {
    uint8_t chunk[4096];
    while (!stop.load() && !hungUp && !(options.once && sequenceFinished.load())) {
        writeDue();
        pollfd watch{master, POLLIN, 0};
        const int64_t untilDue = due.empty() ? 20 : (due.front().first - nowUs()) / 1000;
        if (poll(&watch, 1,
                 static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(20, untilDue)))) <= 0) {
            continue;
        }
        const ssize_t got = ::read(master, chunk, sizeof chunk);
        if (got <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        if (options.paceBaud > 0) {
            const int64_t byteUs = 11'000'000LL / options.paceBaud;
            const int64_t start = std::max(lineFreeAtUs, nowUs());
            lineFreeAtUs = start + got * byteUs;
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            wireLog.insert(wireLog.end(), chunk, chunk + got);
        }
        input.insert(input.end(), chunk, chunk + got);

        std::vector<uint8_t> frame;
        while (takeFrame(input, &frame)) {
            handleFrame(frame);
            if (hungUp) {
                return;
            }
        }
    }
}

void Simulator::handleFrame(const std::vector<uint8_t>& frame) {
    Reply reply;
    {
        std::lock_guard<std::mutex> guard(lock);
        reply = device.take(frame);
    }
    const int exchange = reply.request.exchange;
    if (exchange == EXCHANGE_FINISH) {
        writeStoreFile();
    }
    if (reply.fault == Fault::HangUp) {
        hangUp();
        return;
    }
    if (reply.babbleMs > 0) {
        babble(reply.babbleMs);
    }
    const int64_t now = nowUs();
    for (Emission& emission : reply.emissions) {
        due.emplace_back(now + emission.afterUs, std::move(emission.bytes));
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    writeDue();
    if (exchange == EXCHANGE_FINISH) {
        sequenceFinished = true;
    }
}

void Simulator::writeDue() {
    while (!due.empty() && nowUs() >= due.front().first) {
        writePaced(due.front().second);
        due.erase(due.begin());
    }
}

void Simulator::babble(int milliseconds) {
    // A stuck transmitter: nothing but preambles, as fast as the reader takes them, never
    // blocking on a full line.
    const std::vector<uint8_t> preambles(64, PREAMBLE);
    const int64_t end = nowUs() + milliseconds * 1000LL;
    while (nowUs() < end) {
        pollfd room{master, POLLOUT, 0};
        if (poll(&room, 1, 1) > 0 && (room.revents & POLLOUT) != 0) {
            if (::write(master, preambles.data(), preambles.size()) < 0) {
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void Simulator::writePaced(const std::vector<uint8_t>& bytes) {
    if (options.paceBaud > 0) {
        // The answer starts when the request has crossed the line, and arrives whole when its
        // own bytes have.
        const int64_t byteUs = 11'000'000LL / options.paceBaud;
        const int64_t done =
            std::max(lineFreeAtUs, nowUs()) + static_cast<int64_t>(bytes.size()) * byteUs;
        sleepUntilUs(done);
        lineFreeAtUs = done;
    }
    writeFully(master, bytes.data(), bytes.size());
}

void Simulator::hangUp() {
    ::close(master);
    master = -1;
    ::close(slave);
    slave = -1;
    hungUp = true;
}

void Simulator::writeStoreFile() const {
    if (options.storePath.empty()) {
        return;
    }
    const std::vector<uint8_t> bytes = stored();
    FILE* out = std::fopen(options.storePath.c_str(), "wb");
    if (out == nullptr) {
        std::perror(options.storePath.c_str());
        return;
    }
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
}

std::vector<uint8_t> Simulator::received() const {
    std::lock_guard<std::mutex> guard(lock);
    return wireLog;
}

std::vector<uint8_t> Simulator::stored() const {
    std::lock_guard<std::mutex> guard(lock);
    return device.stored();
}

int Simulator::storedBlockCount() const {
    std::lock_guard<std::mutex> guard(lock);
    const std::vector<bool>& blocks = device.blocksStored();
    return static_cast<int>(std::count(blocks.begin(), blocks.end(), true));
}

}  // namespace pelorix
