// A simulated device on the master side of a pseudo-terminal. It speaks the device's framed
// protocol with its own small encoder and parser, independent of the tool's protocol code, and
// can be told to misbehave in the ways a real line or device does.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "sim/device.h"

namespace pelorix {

struct SimOptions {
    std::vector<uint8_t> identity = EXPECTED_DEVICE_IDENTITY;
    std::vector<FaultRule> faults;
    // Answer time as on a wire at this rate, 8N2 (11 bits a byte); 0 answers at once.
    int paceBaud = 0;
    // Hang up the line when block N (0-15) arrives, without storing or answering it; -1 never.
    // (A line that goes away loses what the device had still to send, so nothing is answered.)
    int hangUpAtBlock = -1;
    // Stop after the sequence ends (finish answered, or line hung up).
    bool once = false;
    // Where to write the 1056 stored bytes when a sequence finishes; empty for none.
    std::string storePath;
};

// One simulated device on its own pseudo-terminal.
class Simulator {
  public:
    explicit Simulator(SimOptions options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the pseudo-terminal; false with errno set when that fails.
    bool open();
    const std::string& slavePath() const { return slaveName; }
    int slaveFd() const { return slave; }

    // Serves requests until `stop` is set or, with `once`, the sequence ends.
    void run(const std::atomic<bool>& stop);

    // What came over the wire from the tool, in order.
    std::vector<uint8_t> received() const;
    // Stored settings data, block by block in block order, and which blocks were stored.
    std::vector<uint8_t> stored() const;
    int storedBlockCount() const;

  private:
    void handleFrame(const std::vector<uint8_t>& frame);
    void writeDue();
    void writePaced(const std::vector<uint8_t>& bytes);
    void babble(int milliseconds);
    void writeStoreFile() const;
    void hangUp();

    SimOptions options;
    int master = -1;
    int slave = -1;
    std::string slaveName;
    std::vector<uint8_t> input;  // bytes received but not yet parsed
    mutable std::mutex lock;     // guards the wire log and the device's storage
    std::vector<uint8_t> wireLog;
    Device device;
    std::atomic<bool> sequenceFinished{false};
    bool hungUp = false;
    // Pacing: when the line is free again, in steady-clock microseconds.
    int64_t lineFreeAtUs = 0;
    // Answers still to go on the line, and when (steady-clock microseconds), in order.
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> due;
};

// Opens a pseudo-terminal pair, raw on the terminal side, both descriptors close-on-exec.
bool openRawPty(int* master, int* slave, std::string* slavePath);

}  // namespace pelorix
