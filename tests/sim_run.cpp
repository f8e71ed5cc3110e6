#include "tests/sim_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/hostile_server.h"

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

SimulatedDevices::SimulatedDevices(const std::vector<pelorix::SimOptions>& options) {
    for (const pelorix::SimOptions& each : options) {
        devices.push_back(std::make_unique<pelorix::Simulator>(each));
        EXPECT_TRUE(devices.back()->open()) << "no pseudo-terminal for a simulator";
    }
    for (auto& device : devices) {
        threads.emplace_back([this, &device] { device->run(stop); });
    }
}

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

namespace {

// ser2net serving `device` on 127.0.0.1: as RFC 2217 on `tcpPort` and raw on `tcpPort` + 1 (the
// line at 9600 8N1 as the server sets it), without its character delay; stopped at destruction.
std::unique_ptr<Background> serveWithSer2net(const std::string& device, int tcpPort,
                                             const std::string& configPath) {
    std::string yaml;
    for (const auto& [accepter, offset] :
         {std::pair<std::string, int>{"telnet(rfc2217),tcp", 0}, {"tcp", 1}}) {
        yaml += "connection: &c" + std::to_string(offset) + "\n  accepter: " + accepter +
                ",127.0.0.1," + std::to_string(tcpPort + offset) +
                "\n  enable: on\n  options:\n    chardelay: false\n  connector: serialdev," +
                device + ",9600n81,local\n";
    }
    writeFile(configPath, Bytes(yaml.begin(), yaml.end()));
    auto server =
        std::make_unique<Background>(std::vector<std::string>{"ser2net", "-n", "-c", configPath});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return server;
}

// Whether a client is connected to the local TCP port `port` (/proc/net/tcp, state 01).
bool clientConnected(int port) {
    std::ifstream table("/proc/net/tcp");
    char local[8];
    std::snprintf(local, sizeof local, ":%04X", port);
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, address, remote, state;
        fields >> slot >> address >> remote >> state;
        if (state == "01" && address.size() > 5 && address.substr(address.size() - 5) == local) {
            return true;
        }
    }
    return false;
}

// A store through ser2net (RFC 2217 on `tcpPort`) whose server is stopped a few blocks in;
// `command` gives the tool's command line for the server's address.
ToolRun storeWhileServerStops(const std::string& settingsPath, int tcpPort,
                              const std::string& configPath, const CommandFor& command) {
    std::unique_ptr<Background> server;
    RunOptions stopping;
    // A few blocks after the tool has connected (wine may take seconds to start it).
    stopping.whileRunning = [&](pid_t) {
        for (int i = 0; i < 500 && !clientConnected(tcpPort); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        server.reset();
    };
    return runAgainstSim(
        withFault(pelorix::EXCHANGE_ANY, pelorix::Fault::Delay, 30), settingsPath,
        [&](const std::string& device) {
            server = serveWithSer2net(device, tcpPort, configPath);
            return command("rfc2217://127.0.0.1:" + std::to_string(tcpPort));
        },
        stopping);
}

// Device servers that fail a store at its start: one that accepts and never answers (socat on
// `tcpPort`, running while *silent lives), none there (`tcpPort` + 1), a name that does not
// resolve; each with its standard output but the port that ends it, and a part of standard error.
struct ServerFailure {
    std::string port;
    std::string out;
    std::string err;
};

std::vector<ServerFailure> serverFailures(int tcpPort, std::unique_ptr<Background>* silent) {
    const std::string listen = "TCP-LISTEN:" + std::to_string(tcpPort) + ",bind=127.0.0.1";
    *silent = std::make_unique<Background>(
        std::vector<std::string>{"socat", listen + ",reuseaddr,fork", "EXEC:sleep 30"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string notOpened = "Opening COM port...ERROR: Can not open COM port ";
    return {
        {"rfc2217://127.0.0.1:" + std::to_string(tcpPort),
         PORT_OPENED + "No Pelorix detected on COM ", "probe: no answer within 500 ms"},
        {"socket://127.0.0.1:" + std::to_string(tcpPort + 1), notOpened, "no device server there"},
        {"rfc2217://no-such-host.invalid:2217", notOpened, "the name does not resolve"}};
}

// While a program runs: reads the speed of the terminal at `*path` (ser2net puts it back when the
// program goes) until it is `wanted` or the program has ended, leaving the last in *seen.
std::function<void(pid_t)> speedWhileRunning(const std::string* path, unsigned wanted,
                                             unsigned* seen) {
    return [=](pid_t program) {
        // Until the program has ended (left to be waited for), for 10 s at most: wine may take
        // seconds to start it.
        const auto running = [program] {
            siginfo_t info{};
            return waitid(P_PID, static_cast<id_t>(program), &info, WEXITED | WNOHANG | WNOWAIT) ==
                       0 &&
                   info.si_pid == 0;
        };
        for (int i = 0; i < 500 && *seen != wanted && running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const int fd = open(path->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            termios tio{};
            *seen = fd >= 0 && tcgetattr(fd, &tio) == 0 ? cfgetospeed(&tio) : 0;
            close(fd);
        }
    };
}

}  // namespace

std::string unixLines(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i;
        }
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        out += text[i];
    }
    return out;
}

std::string outputOf(Ending ending, const std::string& file, const std::string& port) {
    const std::string reading = PORT_OPENED + "Opening Qorv file: " + file +
                                "...done\n\nReading Qorv data from file...done\n\n";
    switch (ending) {
        case Ending::NoDevice:
            return PORT_OPENED + "No Pelorix detected on COM " + port + "\n";
        case Ending::WrongDevice:
            return reading + "ERROR: This program can only be used with Norb 00300360\n";
        case Ending::NotStored:
            return reading + WRITING + "Qorv data NOT stored successfully.\n\n";
        case Ending::Stored:
            break;
    }
    return reading + WRITING + "Qorv data stored successfully.\n\n";
}

void expectDeviceServerStores(const ToolCommand& command, const std::string& settingsPath,
                              const std::string& file, const TempDir& dir, int tcpPort,
                              bool underWine) {
    const auto output = [&](const std::string& text) { return underWine ? unixLines(text) : text; };
    const std::string rfc2217 = "rfc2217://127.0.0.1:" + std::to_string(tcpPort);
    const std::string raw = "socket://127.0.0.1:" + std::to_string(tcpPort + 1);
    const Bytes settings = sampleSettings();
    const Bytes allFF(1056, 0xFF);
    struct Case {
        std::string port;
        Bytes data;
        std::vector<std::string> extra;
        unsigned lineSpeed;  // what the tool left on the terminal behind the server
        std::string err;     // a part of standard error, or "" for none at all
    };
    for (const Case& c : std::vector<Case>{
             {rfc2217, allFF, {"57600"}, B57600, ""},
             {rfc2217, settings, {}, B115200, ""},
             {raw, settings, {}, B9600, ""},
             {raw, settings, {"57600"}, B9600, "the baud rate 57600 is not applied"}}) {
        SCOPED_TRACE(c.port);
        writeFile(settingsPath, frameOf(0x91, c.data));
        std::unique_ptr<Background> server;
        std::string behind;
        unsigned speed = 0;
        RunOptions sampled;
        sampled.whileRunning = speedWhileRunning(&behind, c.lineSpeed, &speed);
        const ToolRun run = runAgainstSim(
            withFault(pelorix::EXCHANGE_ANY, pelorix::Fault::Delay, 20), settingsPath,
            [&](const std::string& device) {
                server = serveWithSer2net(device, tcpPort, dir.file("ser2net.yaml"));
                behind = device;
                return command(c.port, c.extra);
            },
            sampled);
        EXPECT_EQ(output(run.result.out), outputOf(Ending::Stored, file)) << run.result.err;
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(c.err.empty(), run.result.err.empty()) << run.result.err;
        EXPECT_NE(run.result.err.find(c.err), std::string::npos) << run.result.err;
        EXPECT_EQ(hex(run.stored), hex(c.data));
        EXPECT_EQ(speed, c.lineSpeed);
    }

    // The server stopped in the middle of a store: the line hung up, within the exchange's limit.
    writeFile(settingsPath, frameOf(0x91, settings));
    const ToolRun stopped =
        storeWhileServerStops(settingsPath, tcpPort + 2, dir.file("stop.yaml"),
                              [&](const std::string& address) { return command(address, {}); });
    EXPECT_EQ(output(stopped.result.out), outputOf(Ending::NotStored, file));
    EXPECT_NE(stopped.result.err.find("the device server closed the connection"), std::string::npos)
        << stopped.result.err;
    EXPECT_LT(stopped.result.seconds, underWine ? 10.0 : 1.5);

    // Servers that misbehave in their Telnet: the store holds where the device answers in time,
    // and the tool never hangs or waits past its limits where it cannot.
    for (const HostileCase& c : hostileServers()) {
        SCOPED_TRACE(c.name);
        HostileServer server(c.how, tcpPort + 6);
        const RunResult run =
            runProgram(command("rfc2217://127.0.0.1:" + std::to_string(tcpPort + 6), {}));
        EXPECT_EQ(run.status, c.stores ? 0 : 1) << run.err;
        if (c.stores) {
            EXPECT_EQ(output(run.out), outputOf(Ending::Stored, file)) << run.err;
            EXPECT_EQ(hex(server.stored()), hex(settings));
        }
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        EXPECT_LT(run.seconds, underWine ? 10.0 : 4.0);
    }

    // A server that accepts and never answers; no server; a name that does not resolve.
    std::unique_ptr<Background> silent;
    for (const ServerFailure& failure : serverFailures(tcpPort + 4, &silent)) {
        const RunResult failed = runProgram(command(failure.port, {}));
        EXPECT_EQ(output(failed.out), failure.out + failure.port + "\n");
        EXPECT_EQ(failed.status, 1);
        EXPECT_NE(failed.err.find(failure.err), std::string::npos) << failed.err;
        EXPECT_LT(failed.seconds, underWine ? 10.0 : 5.0);
    }
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

const std::vector<StoreScenario>& storeScenarios() {
    using pelorix::EXCHANGE_FINISH;
    using pelorix::EXCHANGE_FIRST_BLOCK;
    using pelorix::Fault;
    const auto device = [](std::vector<pelorix::FaultRule> faults,
                           Bytes identity = {0x00, 0x30, 0x03, 0x60}) {
        pelorix::SimOptions options;
        options.faults = std::move(faults);
        options.identity = std::move(identity);
        return options;
    };
    const auto sent = [](int blocks) { return size_t{10} + 74 * static_cast<size_t>(blocks); };
    pelorix::SimOptions hangUp;
    hangUp.hangUpAtBlock = 2;
    const size_t all = 1199;
    // clang-format off
    static const std::vector<StoreScenario> scenarios{
        {"noise before every answer", device({{-1, Fault::Noise, 0}}), Ending::Stored, "stored",
         {}, all},
        {"every answer a byte at a time", device({{-1, Fault::Split, 0}}), Ending::Stored,
         "stored", {}, all},
        {"nothing answers", device({{-1, Fault::Silence, 0}}), Ending::NoDevice,
         "probe: no_answer",
         {"probe: no answer within 500 ms", "check that the device is powered"}},
        {"probe refused with a code", device({{0, Fault::Error, 4}}), Ending::NoDevice,
         "probe: refused 4", {"probe refused by the device with error code 0x04"}},
        {"probe refused without a code", device({{0, Fault::Error, -1}}), Ending::NoDevice,
         "probe: refused", {"probe refused by the device without an error code"}},
        {"probe answered by other messages", device({{0, Fault::UnrelatedOnly, 0}}),
         Ending::NoDevice, "probe: other_messages", {"2 other messages came"}},
        {"bytes that never form a frame", device({{0, Fault::Babble, 1000}}), Ending::NoDevice,
         "probe: no_valid_frame",
         {" bytes came, none of them part of a valid frame",
          "bytes come but none forms a frame: check that the baud rate"}},
        {"another identity", device({}, {0x00, 0x30, 0x03, 0x61}), Ending::WrongDevice,
         "identity: wrong_identity", {"identity 00 30 03 61; this tool requires 00 30 03 60"}},
        {"a short identity", device({}, {0x00, 0x30, 0x03}), Ending::WrongDevice,
         "identity: short_identity", {"holds 3 bytes, 4 needed"}},
        {"an empty identity", device({}, {}), Ending::WrongDevice, "identity: short_identity",
         {"holds 0 bytes"}},
        {"a longer identity, compared on four bytes", device({}, {0x00, 0x30, 0x03, 0x60, 0x99}),
         Ending::Stored, "stored"},
        {"identity request refused", device({{1, Fault::Error, 2}}), Ending::WrongDevice,
         "identity: refused 2"},
        {"block 6 refused", device({{EXCHANGE_FIRST_BLOCK + 5, Fault::Error, 4}}),
         Ending::NotStored, "block 6: refused 4",
         {"block 6 of 16 refused by the device with error code 0x04"}, sent(6), 5},
        {"block 15 doubled, block 16 refused",
         device({{EXCHANGE_FIRST_BLOCK + 14, Fault::Duplicate, 0},
                 {EXCHANGE_FIRST_BLOCK + 15, Fault::Error, 4}}),
         Ending::NotStored, "block 16: refused 4", {}, sent(16)},
        // Found in hand before block 8 would have been written.
        {"block 7 answered by the one before and a refusal in one write",
         device({{EXCHANGE_FIRST_BLOCK + 6, Fault::StaleThenError, 4}}), Ending::NotStored,
         "block 8: late_refusal 4",
         {"a refusal with error code 0x04 arrived after block 7 of 16 was acknowledged: block 7 "
          "or an earlier block was refused"}, sent(7)},
        {"block 6 repeated 50 ms late, block 7 refused",
         device({{EXCHANGE_FIRST_BLOCK + 5, Fault::LateDuplicate, 50},
                 {EXCHANGE_FIRST_BLOCK + 6, Fault::Error, 4}}),
         Ending::NotStored, "block 7: refused 4"},
        {"block 5 repeated behind 8000 bytes of noise, block 6 ignored",
         device({{EXCHANGE_FIRST_BLOCK + 4, Fault::Flood, 8000},
                 {EXCHANGE_FIRST_BLOCK + 5, Fault::Silence, 0}}),
         Ending::NotStored, "block 6: no_answer", {"block 6 of 16: no answer within 500 ms"}},
        {"end refused", device({{EXCHANGE_FINISH, Fault::Error, 4}}), Ending::NotStored,
         "finish: refused 4", {}, all},
        {"end refused behind 8000 bytes of noise",
         device({{EXCHANGE_FINISH, Fault::FloodThenError, 8000}}), Ending::NotStored,
         "finish: late_refusal 4", {"after block 16 of 16 was acknowledged"}},
        {"end not acknowledged", device({{EXCHANGE_FINISH, Fault::Silence, 0}}), Ending::Stored,
         "stored", {"the end of the sequence was not acknowledged within 500 ms"}, all, 16, 0.45,
         3.0},
        {"line hung up at block 3", hangUp, Ending::NotStored,
         "block 3: hung_up",
         {"block 3 of 16: the line hung up or the device went away"}, 0, 2, 0, 3.0,
         "block 3: hung_up (system error 109)"},
    };
    // clang-format on
    return scenarios;
}

std::vector<nlohmann::json> readRecords(const std::string& path) {
    const Bytes bytes = readFile(path);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text.find('\r'), std::string::npos) << "JSON Lines end in LF on every system";
    std::vector<nlohmann::json> records;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        records.push_back(nlohmann::json::parse(text.substr(at, end - at)));
    }
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "a record line is whole";
    return records;
}

std::string recordSummary(const nlohmann::json& record) {
    if (record["stored"] == true) {
        return "stored";
    }
    std::string summary = record["step"].get<std::string>();
    if (!record["block"].is_null()) {
        summary += " " + std::to_string(record["block"].get<int>());
    }
    summary += ": " + record["cause"].get<std::string>();
    if (!record["device_error"].is_null()) {
        summary += " " + std::to_string(record["device_error"].get<int>());
    }
    if (!record["os_error"].is_null()) {
        summary += " (system error " + std::to_string(record["os_error"].get<int>()) + ")";
    }
    return summary;
}

void expectScenario(const StoreScenario& scenario, const ToolRun& run, const std::string& file,
                    const std::string& port, const Bytes& settings, const std::string& records,
                    bool underWine) {
    SCOPED_TRACE(scenario.name);
    EXPECT_EQ(run.result.out, outputOf(scenario.ending, file, port));
    EXPECT_EQ(run.result.status, scenario.ending == Ending::Stored ? 0 : 1);
    for (const std::string& part : scenario.explanation) {
        EXPECT_NE(run.result.err.find(part), std::string::npos) << run.result.err;
    }
    const Bytes whole = wireOfSuccess(settings);
    const size_t wire = scenario.ending == Ending::NoDevice      ? PROBE_FRAME.size()
                        : scenario.ending == Ending::WrongDevice ? 2 * PROBE_FRAME.size()
                                                                 : scenario.wireBytes;
    if (wire > 0) {
        EXPECT_EQ(hex(run.wire),
                  hex(Bytes(whole.begin(), whole.begin() + static_cast<long>(wire))));
    }
    if (scenario.ending == Ending::Stored) {
        EXPECT_EQ(run.stored, settings);
    }
    if (scenario.storedBlocks >= 0) {
        EXPECT_EQ(run.storedBlocks, scenario.storedBlocks);
    }
    const std::vector<nlohmann::json> lines = readRecords(records);
    EXPECT_EQ(
        lines.empty() ? "no record" : recordSummary(lines.back()),
        underWine && !scenario.recordOnWine.empty() ? scenario.recordOnWine : scenario.record);
    EXPECT_GE(run.result.seconds, scenario.minSeconds);
    EXPECT_LT(run.result.seconds, scenario.maxSeconds + (underWine ? 5.0 : 0.0));
}

}  // namespace testing_support
