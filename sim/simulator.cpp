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

Simulator::Simulator(SimOptions options)
    : options(std::move(options)),
      storage(STORE_BLOCKS * BLOCK_SIZE, 0),
      blockStored(STORE_BLOCKS, false) {}

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
        writeLateAnswer();
        pollfd watch{master, POLLIN, 0};
        const int64_t untilLate = late.empty() ? 20 : (lateAtUs - nowUs()) / 1000;
        if (poll(&watch, 1,
                 static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(20, untilLate)))) <= 0) {
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

const FaultRule* Simulator::faultFor(int exchange) const {
    for (const FaultRule& rule : options.faults) {
        if (rule.exchange == exchange) {
            return &rule;
        }
    }
    for (const FaultRule& rule : options.faults) {
        if (rule.exchange == EXCHANGE_ANY) {
            return &rule;
        }
    }
    return nullptr;
}

void Simulator::handleFrame(const std::vector<uint8_t>& frame) {
    const Request request = requestOf(frame, options.identity);
    if (request.exchange < 0) {
        writePaced(request.answer);
        return;
    }
    if (request.block >= 0) {
        if (request.block == options.hangUpAtBlock) {
            hangUp();
            return;
        }
        const FaultRule* rule = faultFor(request.exchange);
        const bool refused = rule != nullptr &&
                             (rule->fault == Fault::Error || rule->fault == Fault::Silence ||
                              rule->fault == Fault::HangUp || rule->fault == Fault::UnrelatedOnly ||
                              rule->fault == Fault::StaleThenError);
        if (!refused) {
            std::lock_guard<std::mutex> guard(lock);
            std::copy(request.blockData.begin(), request.blockData.end(),
                      storage.begin() + request.block * BLOCK_SIZE);
            blockStored[static_cast<size_t>(request.block)] = true;
        }
    }
    if (request.exchange == EXCHANGE_FINISH) {
        writeStoreFile();
    }
    answer(request.exchange, request.answer);
    if (request.exchange == EXCHANGE_FINISH) {
        sequenceFinished = true;
    }
}

void Simulator::answer(int exchange, const std::vector<uint8_t>& reply) {
    const FaultRule* rule = faultFor(exchange);
    const Fault fault = rule != nullptr ? rule->fault : Fault::None;
    const std::vector<uint8_t> previous = previousAnswer.empty() ? reply : previousAnswer;
    previousAnswer = reply;
    std::vector<uint8_t> bytes;
    switch (fault) {
        case Fault::None:
        case Fault::Split:
        case Fault::Delay:
            bytes = reply;
            break;
        case Fault::LateDuplicate:
            bytes = reply;
            late = reply;
            lateAtUs = nowUs() + rule->value * 1000LL;
            break;
        case Fault::StaleThenError: {
            bytes = previous;
            const std::vector<uint8_t> refusal =
                encodeFrame(0x42, {static_cast<uint8_t>(rule->value)});
            bytes.insert(bytes.end(), refusal.begin(), refusal.end());
            break;
        }
        case Fault::Duplicate:
            bytes = reply;
            bytes.insert(bytes.end(), reply.begin(), reply.end());
            break;
        case Fault::Flood:
        case Fault::FloodThenError: {
            // More than a tty's read buffer holds, so that what follows waits in its driver.
            bytes = reply;
            bytes.insert(bytes.end(), static_cast<size_t>(rule->value), 0x55);
            const std::vector<uint8_t> last =
                fault == Fault::Flood ? reply : encodeFrame(0x42, {0x04});
            bytes.insert(bytes.end(), last.begin(), last.end());
            break;
        }
        case Fault::Babble:
            babble(rule->value);
            return;
        case Fault::Silence:
            return;
        case Fault::HangUp:
            hangUp();
            return;
        case Fault::Error:
            // A negative code: an error message without data.
            bytes = rule->value < 0 ? encodeFrame(0x42, {})
                                    : encodeFrame(0x42, {static_cast<uint8_t>(rule->value)});
            break;
        case Fault::BadChecksumFirst:
            bytes = reply;
            bytes.back() = static_cast<uint8_t>(bytes.back() + 1);
            bytes.insert(bytes.end(), reply.begin(), reply.end());
            break;
        case Fault::UnrelatedFirst:
        case Fault::UnrelatedOnly: {
            bytes = encodeFrame(0x7E, {});
            const std::vector<uint8_t> other = encodeFrame(0x55, {0x01, 0x02});
            bytes.insert(bytes.end(), other.begin(), other.end());
            if (fault == Fault::UnrelatedFirst) {
                bytes.insert(bytes.end(), reply.begin(), reply.end());
            }
            break;
        }
        case Fault::SwallowingNoise:
            // A false header whose length (32) runs past the answer that follows it.
            bytes = {PREAMBLE, 0xFF, 0x7E, 0x20};
            bytes.insert(bytes.end(), reply.begin(), reply.end());
            break;
        case Fault::Noise:
            bytes = {0x00, 0x12, 0x55, 0xAA, 0x0D, 0x0A};
            bytes.insert(bytes.end(), reply.begin(), reply.end());
            break;
    }
    if (fault == Fault::Delay) {
        std::this_thread::sleep_for(std::chrono::milliseconds(rule->value));
    }
    if (fault == Fault::Split) {
        for (uint8_t byte : bytes) {
            writePaced({byte});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return;
    }
    writePaced(bytes);
}

void Simulator::writeLateAnswer() {
    if (!late.empty() && nowUs() >= lateAtUs) {
        writePaced(late);
        late.clear();
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
    return storage;
}

int Simulator::storedBlockCount() const {
    std::lock_guard<std::mutex> guard(lock);
    int count = 0;
    for (bool stored : blockStored) {
        count += stored ? 1 : 0;
    }
    return count;
}

}  // namespace pelorix
