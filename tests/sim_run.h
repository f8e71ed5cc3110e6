// Runs the built command against the device simulator on a pseudo-terminal.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulator.h"
#include "tests/support.h"

namespace testing_support {

// Simulated devices, each on its own pseudo-terminal, served while this lives.
class SimulatedDevices {
  public:
    explicit SimulatedDevices(const std::vector<pelorix::SimOptions>& options);
    ~SimulatedDevices() {
        stop = true;
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    const pelorix::Simulator& operator[](size_t i) const { return *devices[i]; }
    std::string port(size_t i) const { return devices[i]->slavePath(); }

  private:
    std::vector<std::unique_ptr<pelorix::Simulator>> devices;
    std::vector<std::thread> threads;
    std::atomic<bool> stop{false};
};

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

// How a store ends on standard output, and its whole standard output for the settings file and
// the port as the tool names them.
enum class Ending { Stored, NotStored, NoDevice, WrongDevice };
std::string outputOf(Ending ending, const std::string& file, const std::string& port = "");

// A store that both suites run, natively and with QorvWriter.exe under wine: what the device
// does, and how the run must end. The runner checks standard output byte for byte, the exit
// status, the parts of standard error, the wire and the time.
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

// The tool's command line for a port as typed and arguments after it.
using ToolCommand = std::function<std::vector<std::string>(const std::string& port,
                                                           const std::vector<std::string>& extra)>;

// Standard output of a Windows program with its CR LF line ends checked and made LF.
std::string unixLines(const std::string& text);

// Stores through the real ser2net serving the simulator on 127.0.0.1 from `tcpPort` on: RFC 2217
// with all-0xFF data and with the rate given (read on the terminal behind the server while the
// tool stores), and the raw stream, whose rate is the server's; the server stopped in the middle
// of a store; one that accepts and never answers (socat), none there, a name that does not
// resolve. `file` is the settings file at `settingsPath` as the tool names it; `underWine`: the
// command is QorvWriter.exe's, whose output has CR LF line ends and whose start takes longer.
void expectDeviceServerStores(const ToolCommand& command, const std::string& settingsPath,
                              const std::string& file, const TempDir& dir, int tcpPort,
                              bool underWine);

extern const Bytes PROBE_FRAME;
extern const Bytes IDENTITY_REQUEST_FRAME;
extern const Bytes FINISH_FRAME;

}  // namespace testing_support
