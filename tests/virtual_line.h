// A serial line, a device on it and a clock, all simulated in memory: the channel's operating
// system side for campaigns that run the whole tool thousands of times in seconds. Bytes cross
// the line at the pace of 115200 baud 8N2 in both directions; a read that finds nothing waits
// up to 1 ms of simulated time for the first byte, as a real port read does. Received bytes are
// buffered as a Linux tty buffers them: a read buffer of 4095 bytes, the count that FIONREAD
// gives, refilled from the driver's buffer only when a read comes, not when one returns. The device
// speaks with the simulator's own encoder and parser, checks checksums and ignores what it cannot
// parse, and can be told to answer one exchange in a racy way or to meet one byte fault.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/device.h"

namespace virtual_line {

// Exchanges as the device counts them: probe, identity, blocks 1-16, finish.
constexpr int EXCHANGES = pelorix::EXCHANGES;

enum class ByteFault { None, Flip, Drop, Double, Preamble };

// How the device answers one exchange (each race applies once). A flood (Fault::Flood and
// FloodThenError, `value` bytes) comes in one burst: unless `paced`, the tool is held (a busy
// machine, SIGSTOP) until every byte is in; otherwise it reads the flood as the line brings it.
struct Race {
    int exchange = -1;
    pelorix::Fault fault = pelorix::Fault::None;
    int value = 0;
    bool paced = false;
};

// The way the tool reaches the device: the port itself, or a device server (RFC 2217) at the far
// end of the same line, behaving or not.
enum class Server {
    None,
    Plain,         // takes what the tool sends at once, hands on what the device sends at once
    StopsReading,  // stops reading after the identity request, and asks for an option meanwhile
    OptionFlood,   // option requests before every burst it hands on
    Trickle,       // hands on one byte every 100 ms
    SplitIac,      // hands on one byte a read, so that every IAC is apart from what follows it
};

struct Scenario {
    Server server = Server::None;
    std::vector<Race> races;
    // A USB adapter hands received bytes on when its latency timer runs out: bytes that arrive
    // within one tick reach the port together. 0: each byte as it arrives.
    int adapterTickUs = 1000;
    // One byte of one direction's stream (counted from the first byte of the run) meets `fault`.
    bool faultToDevice = true;
    int faultIndex = -1;
    ByteFault fault = ByteFault::None;
};

// What the device holds and saw once a run has ended.
struct DeviceRecord {
    std::vector<uint8_t> stored;  // 16 blocks of 66 bytes; blocks never stored are zero
    std::vector<bool> blockStored;
    int storedBlocks = 0;
    bool storedEveryBlock = false;
    // A refusal of a store block reached the tool whole before the run ended.
    bool refusalDelivered = false;
    // The device took a frame that the tool never wrote (a changed byte the checksum let pass).
    bool tookAlteredFrame = false;
    // A frame the tool wrote that the device never took.
    bool missedRequest = false;
    bool sentDuplicate = false;
    // Simulated milliseconds at each request the tool wrote, and when the run ended, less the
    // time the tool was held.
    std::vector<int64_t> requestTimesMs;
    int64_t endMs = 0;
    // For each request and for the end, when the last flood noise the tool had read by then
    // reached the port: a line still bringing a flood holds the tool back rightly.
    std::vector<int64_t> lineQuietMs;
    int64_t endQuietMs = 0;
    int bytesToDevice = 0;
    int bytesFromDevice = 0;
};

// Sets up the line and the device for the next run, the clock at 0.
void reset(const Scenario& scenario);
// Ends the run: bytes still on the line reach the device, and the record is made.
DeviceRecord finish();

}  // namespace virtual_line
