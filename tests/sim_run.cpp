#include "tests/sim_run.h"

#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace testing_support {

const std::string USAGE_TEXT =
    "Qorv writer\nParse Qorv file and writes Qorv data to attached Pelorix\n\n"
    "Usage: QorvWriter path+Qorvfilename portNumber [baudrate=115200]\n"
    "       path+Qorvfilename\t: Location and filename of input Qorv file\n"
    "       portNumber\t\t: COM port at which Pelorix is attached\n"
    "       baudrate\t\t\t: (Optional) Baudrate, default 115200\n\n";
const std::string PORT_OPENED = "Opening COM port...done\n\n";
const std::string WRITING = "Writing Qorv data to Pelorix...\n\n";

pelorix::SimOptions withFault(int exchange, pelorix::Fault fault, int value) {
    pelorix::SimOptions options;
    options.faults.push_back(pelorix::FaultRule{exchange, fault, value});
    return options;
}

const Bytes PROBE_FRAME{0xFA, 0xFF, 0x30, 0x00, 0xD1};
const Bytes IDENTITY_REQUEST_FRAME{0xFA, 0xFF, 0x00, 0x00, 0x01};
const Bytes FINISH_FRAME{0xFA, 0xFF, 0x40, 0x00, 0xC1};

ToolRun runAgainstSim(const pelorix::SimOptions& options, const std::string& settingsPath,
                      const CommandFor& command, const RunOptions& how) {
    pelorix::Simulator simulator(options);
    ToolRun run;
    if (!simulator.open()) {
        ADD_FAILURE() << "no pseudo-terminal for the simulator";
        return run;
    }
    std::atomic<bool> stop{false};
    std::thread device([&] { simulator.run(stop); });

    const bool existed = access(settingsPath.c_str(), F_OK) == 0;
    const FileStamp before = stampOf(settingsPath);
    run.port = simulator.slavePath();
    run.result = runProgram(command(run.port), how);
    if (existed) {
        EXPECT_TRUE(stampOf(settingsPath) == before) << "the settings file was changed";
    }

    // Bytes still in flight reach the simulator within a few milliseconds.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    device.join();
    run.wire = simulator.received();
    run.stored = simulator.stored();
    run.storedBlocks = simulator.storedBlockCount();
    termios tio{};
    if (simulator.slaveFd() >= 0 && tcgetattr(simulator.slaveFd(), &tio) == 0) {
        run.lineSpeed = static_cast<unsigned>(cfgetospeed(&tio));
    }
    return run;
}

Bytes sampleSettings(size_t length) {
    Bytes data(length);
    for (size_t i = 0; i < length; ++i) {
        data[i] = static_cast<uint8_t>((i * 151 + 7) ^ (i >> 3));
    }
    return data;
}

Bytes storeBlockFrame(const Bytes& settings, int block) {
    Bytes data{0x00, static_cast<uint8_t>(block / 4), static_cast<uint8_t>(block % 4)};
    data.insert(data.end(), settings.begin() + block * 66, settings.begin() + (block + 1) * 66);
    return frameOf(0x96, data);
}

Bytes wireOfSuccess(const Bytes& settings) {
    Bytes wire = concat({PROBE_FRAME, IDENTITY_REQUEST_FRAME});
    for (int block = 0; block < 16; ++block) {
        const Bytes frame = storeBlockFrame(settings, block);
        wire.insert(wire.end(), frame.begin(), frame.end());
    }
    wire.insert(wire.end(), FINISH_FRAME.begin(), FINISH_FRAME.end());
    return wire;
}

}  // namespace testing_support
