#include "tests/virtual_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/device.h"
#include "tests/memory_backend.h"
#include "tests/telnet_peer.h"

namespace virtual_line {

namespace {

constexpr int BLOCKS = pelorix::STORE_BLOCKS;

// 11 bits a byte at 115200 baud.
constexpr int64_t BYTE_US = 95;
// From the last byte of a request to the first of its answer.
constexpr int64_t DEVICE_LATENCY_US = 100;
// Far beyond what any run may take: a run still going then hangs.
constexpr int64_t HANG_US = 120'000'000;
// N_TTY_BUF_SIZE less the byte it keeps free.
constexpr size_t READ_BUFFER = 4095;
// What a device server that stops reading still takes in before the connection is full.
constexpr size_t SERVER_WINDOW = 512;
// A trickling server hands on a byte this often.
constexpr int64_t TRICKLE_US = 100'000;

struct Arrival {
    int64_t atUs;
    uint8_t value;
    // Noise of a flood: a line still bringing it holds the next request back rightly.
    bool stray = false;
};

// Bytes on their way in one direction, in order of arrival: how many have been taken at the far
// end, and when the line is free for the next.
struct Lane {
    std::vector<Arrival> bytes;
    size_t taken = 0;
    int64_t freeUs = 0;
    bool pending() const { return taken < bytes.size(); }
};

struct Emission {
    int64_t earliestUs;
    std::vector<uint8_t> bytes;
    bool refusal;
    size_t order;
    // The rest of a frame the device began earlier: nothing else goes on the line before it.
    bool continuation;
    // The tool is held once it has read this many bytes of the emission (0: not held).
    size_t holdAfter = 0;
    // Bytes [strayFrom, strayTo) of the emission are a flood's noise.
    size_t strayFrom = 0;
    size_t strayTo = 0;
};

struct World {
    Scenario scenario;
    int64_t nowUs = 0;

    Lane toDevice;
    std::vector<uint8_t> deviceInput;

    std::vector<Emission> emissions;
    size_t emissionOrder = 0;
    Lane toTool;
    // Of the bytes that reached the port, how many the tty's read buffer holds.
    size_t readBuffer = 0;
    // Bytes that had reached the port when the read buffer was last refilled.
    size_t reachedAtRefill = 0;
    // Once it has read up to `holdFrom`, the tool is held until a flood has come in whole; the
    // time is not counted against its limits.
    bool holdTool = false;
    size_t holdFrom = 0;
    int64_t heldUs = 0;
    int64_t lastStrayUs = 0;
    std::vector<int64_t> refusalsDeliveredUs;

    pelorix::Device device{pelorix::EXPECTED_DEVICE_IDENTITY, {}};
    bool blocksBegun = false;
    // Per exchange: a flood there comes in at the line's pace, the tool not held.
    std::vector<bool> paced = std::vector<bool>(EXCHANGES, false);
    std::vector<std::vector<uint8_t>> written;
    std::vector<bool> writtenTaken;
    DeviceRecord record;

    // The device server, where there is one: what it has taken from the tool and not read
    // (once it stops reading), its Telnet from the tool, and what it has for the tool.
    std::vector<uint8_t> serverUnread;
    testing_support::TelnetIn serverTelnet;
    std::vector<uint8_t> serverOut;
    int64_t nextTrickleUs = 0;
    int64_t nextAskUs = 0;
};

World world;

void emit(int64_t earliestUs, std::vector<uint8_t> bytes, bool refusal, bool continuation = false) {
    for (const Emission& pending : world.emissions) {
        if (pending.continuation) {
            earliestUs = std::max(earliestUs, pending.earliestUs);
        }
    }
    world.emissions.push_back(
        Emission{earliestUs, std::move(bytes), refusal, world.emissionOrder++, continuation});
}

// Matches a frame the device took with the oldest equal one the tool wrote.
void noteTaken(const std::vector<uint8_t>& frame) {
    for (size_t i = 0; i < world.written.size(); ++i) {
        if (!world.writtenTaken[i] && world.written[i] == frame) {
            world.writtenTaken[i] = true;
            return;
        }
    }
    world.record.tookAlteredFrame = true;
}

void handleFrame(const std::vector<uint8_t>& frame, int64_t atUs) {
    const pelorix::Reply reply = world.device.take(frame);
    if (reply.request.exchange >= 0 && reply.fault == pelorix::Fault::Silence) {
        return;  // the request never reached the device
    }
    noteTaken(frame);
    world.blocksBegun = world.blocksBegun || reply.request.block >= 0;
    world.record.sentDuplicate = world.record.sentDuplicate || reply.answeredTwice;
    const bool held = !world.paced[static_cast<size_t>(std::max(0, reply.request.exchange))];
    for (const pelorix::Emission& out : reply.emissions) {
        emit(atUs + DEVICE_LATENCY_US + out.afterUs, out.bytes, out.refusal && world.blocksBegun,
             out.continuation);
        Emission& emission = world.emissions.back();
        emission.strayFrom = out.strayFrom;
        emission.strayTo = out.strayTo;
        emission.holdAfter = out.strayTo > out.strayFrom && held ? out.strayFrom : 0;
    }
}

// A byte of one direction's stream, as the fault of the scenario leaves it: none, one or two.
int applyFault(bool toDevice, int index, uint8_t value, uint8_t* out) {
    if (world.scenario.faultToDevice != toDevice || world.scenario.faultIndex != index) {
        out[0] = value;
        return 1;
    }
    switch (world.scenario.fault) {
        case ByteFault::Flip:
            out[0] = static_cast<uint8_t>(value ^ (1u << (index % 8)));
            return 1;
        case ByteFault::Drop:
            return 0;
        case ByteFault::Double:
            out[0] = out[1] = value;
            return 2;
        case ByteFault::Preamble:
            out[0] = 0xFA;
            return 1;
        case ByteFault::None:
            break;
    }
    out[0] = value;
    return 1;
}

// Moves the world on to `untilUs`: the device takes the bytes that reached it and answers, and
// answers whose time has come go onto the line, one after another.
void advance(int64_t untilUs) {
    while (world.toDevice.pending() && world.toDevice.bytes[world.toDevice.taken].atUs <= untilUs) {
        const Arrival byte = world.toDevice.bytes[world.toDevice.taken++];
        world.deviceInput.push_back(byte.value);
        std::vector<uint8_t> frame;
        while (pelorix::takeFrame(world.deviceInput, &frame)) {
            handleFrame(frame, byte.atUs);
        }
    }
    std::stable_sort(
        world.emissions.begin(), world.emissions.end(), [](const Emission& a, const Emission& b) {
            return a.earliestUs != b.earliestUs ? a.earliestUs < b.earliestUs : a.order < b.order;
        });
    size_t sent = 0;
    for (; sent < world.emissions.size() && world.emissions[sent].earliestUs <= untilUs; ++sent) {
        const Emission& emission = world.emissions[sent];
        if (emission.holdAfter > 0) {
            world.holdTool = true;
            world.holdFrom = world.toTool.bytes.size() + emission.holdAfter;
        }
        int64_t at = std::max(emission.earliestUs, world.toTool.freeUs);
        for (size_t index = 0; index < emission.bytes.size(); ++index) {
            uint8_t bytes[2];
            const int count =
                applyFault(false, world.record.bytesFromDevice++, emission.bytes[index], bytes);
            const bool stray = index >= emission.strayFrom && index < emission.strayTo;
            for (int i = 0; i < count; ++i) {
                at += BYTE_US;
                world.toTool.bytes.push_back(Arrival{at, bytes[i], stray});
            }
        }
        world.toTool.freeUs = at;
        if (emission.refusal) {
            world.refusalsDeliveredUs.push_back(at);
        }
    }
    world.emissions.erase(world.emissions.begin(),
                          world.emissions.begin() + static_cast<long>(sent));
}

// When a byte that arrived at `atUs` reaches the port.
int64_t visibleUs(int64_t atUs) {
    const int64_t tick = world.scenario.adapterTickUs;
    return tick > 0 ? (atUs + tick - 1) / tick * tick : atUs;
}

int64_t nextEventUs() {
    int64_t next = INT64_MAX;
    if (world.toDevice.pending()) {
        next = std::min(next, world.toDevice.bytes[world.toDevice.taken].atUs);
    }
    for (const Emission& emission : world.emissions) {
        next = std::min(next, emission.earliestUs);
    }
    if (world.toTool.pending()) {
        next = std::min(next, visibleUs(world.toTool.bytes[world.toTool.taken].atUs));
    }
    return next;
}

// Bytes that reached the port and were not read, in the read buffer or in the driver behind it.
size_t available() {
    size_t count = 0;
    while (world.toTool.taken + count < world.toTool.bytes.size() &&
           visibleUs(world.toTool.bytes[world.toTool.taken + count].atUs) <= world.nowUs) {
        ++count;
    }
    return count;
}

// The driver's buffer moves into the read buffer as far as it has room: when bytes arrive, and
// when a read comes, but not when a read has just made room.
void refill() {
    world.readBuffer = std::max(world.readBuffer, std::min(available(), READ_BUFFER));
    world.reachedAtRefill = world.toTool.taken + available();
}

size_t takeIn(uint8_t* buffer, int32_t count) {
    const size_t taken = std::min(world.readBuffer, static_cast<size_t>(count));
    for (size_t i = 0; i < taken; ++i) {
        const Arrival& byte = world.toTool.bytes[world.toTool.taken++];
        buffer[i] = byte.value;
        if (byte.stray) {
            world.lastStrayUs = visibleUs(byte.atUs);
        }
    }
    world.readBuffer -= taken;
    return taken;
}

// A tool held (a busy machine, SIGSTOP) after it has read the answer in front of a flood looks
// at the port again only when the flood's last byte is there.
void releaseHold() {
    if (!world.holdTool || world.toTool.taken < world.holdFrom) {
        return;
    }
    world.holdTool = false;
    advance(world.nowUs);
    if (!world.toTool.bytes.empty()) {
        const int64_t until = std::max(world.nowUs, visibleUs(world.toTool.bytes.back().atUs));
        world.heldUs += until - world.nowUs;
        world.nowUs = until;
        advance(world.nowUs);
    }
}

int64_t toolMs() {
    return (world.nowUs - world.heldUs) / 1000;
}

// When the last flood noise the tool has read reached the port (answers do not count: a tool
// that waits for one past its limit is slow).
int64_t lineQuietMs() {
    return (std::min(world.lastStrayUs, world.nowUs) - world.heldUs) / 1000;
}

}  // namespace

// Puts the channel's port on this line (below).
void takeThePort();

void reset(const Scenario& scenario) {
    takeThePort();
    world = World{};
    world.scenario = scenario;
    std::vector<pelorix::FaultRule> rules;
    for (const Race& race : scenario.races) {
        rules.push_back({race.exchange, race.fault, race.value});
        world.paced[static_cast<size_t>(race.exchange)] = race.paced;
    }
    world.device = pelorix::Device(pelorix::EXPECTED_DEVICE_IDENTITY, rules, true);
}

DeviceRecord finish() {
    const int64_t endUs = world.nowUs;
    advance(endUs + 10'000'000);
    DeviceRecord& record = world.record;
    record.stored = world.device.stored();
    record.blockStored = world.device.blocksStored();
    record.storedBlocks =
        static_cast<int>(std::count(record.blockStored.begin(), record.blockStored.end(), true));
    record.storedEveryBlock = record.storedBlocks == BLOCKS;
    for (int64_t at : world.refusalsDeliveredUs) {
        record.refusalDelivered = record.refusalDelivered || at <= endUs;
    }
    record.missedRequest = std::find(world.writtenTaken.begin(), world.writtenTaken.end(), false) !=
                           world.writtenTaken.end();
    record.endMs = toolMs();
    record.endQuietMs = lineQuietMs();
    return record;
}

namespace {

// The channel's port on this line, on the simulated clock.
class VirtualLine : public qorv::memory_backend::Line {
  public:
    int32_t nowMs() override { return static_cast<int32_t>(world.nowUs / 1000); }
    int64_t nowUs() override { return world.nowUs; }

    int32_t read(uint8_t* buffer, int32_t count, int32_t waitUs) override {
        releaseHold();
        const int64_t limit = world.nowUs + waitUs;
        for (;;) {
            advance(world.nowUs);
            refill();
            if (world.readBuffer > 0) {
                break;
            }
            const int64_t next = nextEventUs();
            if (next > limit) {
                world.nowUs = limit;
                advance(world.nowUs);
                break;
            }
            world.nowUs = std::max(world.nowUs, next);
        }
        checkHang();
        refill();
        return static_cast<int32_t>(takeIn(buffer, count));
    }

  private:
    static void checkHang() {
        if (world.nowUs > HANG_US) {
            std::fprintf(stderr, "virtual line: the run is still going after %lld s\n",
                         static_cast<long long>(HANG_US / 1'000'000));
            std::abort();
        }
    }

    // A server that stops reading does so once the identity request has reached it.
    static bool serverStopped() {
        return world.scenario.server == Server::StopsReading && world.written.size() >= 2;
    }

  public:
    void sleep(int32_t ms) override {
        world.nowUs += ms * int64_t{1000};
        advance(world.nowUs);
    }

    int32_t write(const uint8_t* buffer, int32_t count) override {
        advance(world.nowUs);
        world.written.emplace_back(buffer, buffer + count);
        world.writtenTaken.push_back(false);
        world.record.requestTimesMs.push_back(toolMs());
        world.record.lineQuietMs.push_back(lineQuietMs());
        for (int32_t i = 0; i < count; ++i) {
            uint8_t bytes[2];
            const int n = applyFault(true, world.record.bytesToDevice++, buffer[i], bytes);
            for (int k = 0; k < n; ++k) {
                world.toDevice.freeUs = std::max(world.toDevice.freeUs, world.nowUs) + BYTE_US;
                world.toDevice.bytes.push_back(Arrival{world.toDevice.freeUs, bytes[k]});
            }
        }
        return count;
    }

    int connect() override {
        if (world.scenario.server == Server::None) {
            return ECONNREFUSED;
        }
        // The server says at once which stop bits it set: two.
        world.serverOut = {255, 250, 44, 104, 2, 255, 240};
        return 0;
    }

    int32_t sendSome(const uint8_t* bytes, int32_t count, int32_t waitMs) override {
        advance(world.nowUs);
        if (serverStopped()) {
            const size_t room = SERVER_WINDOW - std::min(SERVER_WINDOW, world.serverUnread.size());
            const size_t taken = std::min(room, static_cast<size_t>(count));
            if (taken == 0) {
                sleep(waitMs);
            }
            world.serverUnread.insert(world.serverUnread.end(), bytes, bytes + taken);
            return static_cast<int32_t>(taken);
        }
        std::vector<uint8_t> data;
        world.serverTelnet.take(bytes, static_cast<size_t>(count), &data);
        if (!data.empty()) {
            write(data.data(), static_cast<int32_t>(data.size()));
        }
        return count;
    }

    int32_t receive(uint8_t* buffer, int32_t count, int32_t waitUs) override {
        releaseHold();
        const int64_t limit = world.nowUs + waitUs;
        const Server server = world.scenario.server;
        for (;;) {
            advance(world.nowUs);
            refill();
            uint8_t arrived[READ_BUFFER];
            const size_t got = takeIn(arrived, static_cast<int32_t>(sizeof arrived));
            if (got > 0 && server == Server::OptionFlood) {
                world.serverOut.insert(world.serverOut.end(), {255, 251, 77, 255, 253, 24});
            }
            testing_support::appendEscaped(arrived, got, &world.serverOut);
            // Once it has stopped reading, it asks for an option every millisecond.
            if (serverStopped() && world.serverOut.empty() && world.nowUs >= world.nextAskUs) {
                world.serverOut = {255, 253, 99};
                world.nextAskUs = world.nowUs + 1000;
            }
            const bool due = server != Server::Trickle || world.nowUs >= world.nextTrickleUs;
            if (!world.serverOut.empty() && due) {
                break;
            }
            int64_t next = nextEventUs();
            if (!world.serverOut.empty()) {
                next = std::min(next, world.nextTrickleUs);
            }
            if (serverStopped()) {
                next = std::min(next, std::max(world.nextAskUs, world.nowUs + 1));
            }
            if (next > limit) {
                world.nowUs = limit;
                advance(world.nowUs);
                return 0;
            }
            world.nowUs = std::max(world.nowUs, next);
        }
        checkHang();
        std::vector<uint8_t> out;
        const size_t pass =
            server == Server::Trickle || server == Server::SplitIac ? 1 : world.serverOut.size();
        out.insert(out.end(), world.serverOut.begin(),
                   world.serverOut.begin() + static_cast<long>(pass));
        world.serverOut.erase(world.serverOut.begin(),
                              world.serverOut.begin() + static_cast<long>(pass));
        world.nextTrickleUs = world.nowUs + TRICKLE_US;
        const size_t given = std::min(out.size(), static_cast<size_t>(count));
        std::copy(out.begin(), out.begin() + static_cast<long>(given), buffer);
        // What did not fit is handed on next.
        world.serverOut.insert(world.serverOut.begin(), out.begin() + static_cast<long>(given),
                               out.end());
        return static_cast<int32_t>(given);
    }

    void purge() override {
        advance(world.nowUs);
        world.toTool.taken += available();
        world.readBuffer = 0;
    }

    // FIONREAD: the read buffer alone.
    int32_t queued() override {
        releaseHold();
        advance(world.nowUs);
        if (world.toTool.taken + available() > world.reachedAtRefill) {
            refill();
        }
        return static_cast<int32_t>(world.readBuffer);
    }
};

VirtualLine line;

}  // namespace

void takeThePort() {
    qorv::memory_backend::use(&line);
}

}  // namespace virtual_line
