// Runs the built command against the device simulator on a pseudo-terminal.
#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "tests/support.h"

namespace testing_support {

struct ToolRun {
    RunResult result;
    Bytes wire;    // what the simulator received
    Bytes stored;  // the simulator's 1056 stored bytes
    int storedBlocks = 0;
    std::string port;
    unsigned lineSpeed = 0;  // termios speed code the tool left on the line
};

// Builds the command line for the simulator's pseudo-terminal path.
using CommandFor = std::function<std::vector<std::string>(const std::string& port)>;

// Runs the command against a simulator; checks that the settings file is left unchanged.
ToolRun runAgainstSim(const pelorix::SimOptions& options, const std::string& settingsPath,
                      const CommandFor& command, const RunOptions& how = {});

#ifdef QORVWRITER_PATH
// Runs `QorvWriter settingsPath <pty> extra...`.
inline ToolRun runAgainstSim(const pelorix::SimOptions& options, const std::string& settingsPath,
                             const std::vector<std::string>& extra = {}) {
    return runAgainstSim(options, settingsPath, [&](const std::string& port) {
        std::vector<std::string> argv{QORVWRITER_PATH, settingsPath, port};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    });
}
#endif

// The settings data used by the end-to-end tests, and the frames the tool should send for it.
Bytes sampleSettings(size_t length = 1056);
Bytes storeBlockFrame(const Bytes& settings, int block);
Bytes wireOfSuccess(const Bytes& settings);

// Console texts of the command, written out here independently of the tool.
extern const std::string USAGE_TEXT;
extern const std::string PORT_OPENED;  // "Opening COM port...done\n\n"
extern const std::string WRITING;      // "Writing Qorv data to Pelorix...\n\n"

// Simulator options with one fault at one exchange.
pelorix::SimOptions withFault(int exchange, pelorix::Fault fault, int value = 0);

// A store that both suites run, natively and with QorvWriter.exe under wine: what the device
// does, and how the run must end. The runner checks standard output byte for byte, the exit
// status, the parts of standard error, the wire and the time.
enum class Ending { Stored, NotStored, NoDevice, WrongDevice };
struct StoreScenario {
    std::string name;
    pelorix::SimOptions device;
    Ending ending;
    // The run record's line, as recordSummary() gives it.
    std::string record;
    std::vector<std::string> explanation{};  // parts of standard error
    size_t wireBytes = 0;   // the wire is the start of a whole store's; 0: as the ending says
    int storedBlocks = -1;  // -1: not checked
    double minSeconds = 0;
    double maxSeconds = 20;
    // The record under wine where it differs (the system's own error codes).
    std::string recordOnWine{};
};
const std::vector<StoreScenario>& storeScenarios();
// Checks a run of `scenario`, with the settings file and the port as the tool printed them and
// the run record's file; `underWine`: the run was QorvWriter.exe's, and wine's start is allowed
// beyond the time.
void expectScenario(const StoreScenario& scenario, const ToolRun& run, const std::string& file,
                    const std::string& port, const Bytes& settings, const std::string& records,
                    bool underWine = false);

// The run record's lines (JSON Lines, LF ends), and one record in short: "stored", or the step,
// the block where there is one, the cause, the device's code and the system's ("block 6: refused
// 4", "open_port: open_failed (system error 2)").
std::vector<nlohmann::json> readRecords(const std::string& path);
std::string recordSummary(const nlohmann::json& record);

// ser2net serving `device` on 127.0.0.1: as RFC 2217 on `tcpPort` and raw on `tcpPort` + 1 (the
// line at 9600 8N1 as the server sets it), without its character delay; stopped at destruction.
std::unique_ptr<Background> serveWithSer2net(const std::string& device, int tcpPort,
                                             const std::string& configPath);

// A store through ser2net (RFC 2217 on `tcpPort`) whose server is stopped a few blocks in;
// `command` gives the tool's command line for the server's address.
ToolRun storeWhileServerStops(const std::string& settingsPath, int tcpPort,
                              const std::string& configPath, const CommandFor& command);

// Device servers that fail a store at its start: one that accepts and never answers (socat on
// `tcpPort`, running while *silent lives), none there (`tcpPort` + 1), a name that does not
// resolve; each with its standard output but the port that ends it, and a part of standard error.
struct ServerFailure {
    std::string port;
    std::string out;
    std::string err;
};
std::vector<ServerFailure> serverFailures(int tcpPort, std::unique_ptr<Background>* silent);

// While a program runs: reads the speed of the terminal at `*path` (ser2net puts it back when the
// program goes) until it is `wanted` or the program has ended, leaving the last in *seen.
std::function<void(pid_t)> speedWhileRunning(const std::string* path, unsigned wanted,
                                             unsigned* seen);

extern const Bytes PROBE_FRAME;
extern const Bytes IDENTITY_REQUEST_FRAME;
extern const Bytes FINISH_FRAME;

}  // namespace testing_support
