// Campaigns: the whole tool, run in this process on the simulated line and clock, against every
// single-byte fault of a store and every answer race of a grid, each run judged by one oracle
// instead of a list of expected outputs. The line protocol's known blind spots are counted by
// cause; any other break of the oracle fails the test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>

#include "app/run.h"
#include "tests/capture.h"
#include "tests/sim_run.h"
#include "tests/virtual_line.h"

using namespace testing_support;
using pelorix::Fault;
using virtual_line::ByteFault;
using virtual_line::Race;
using virtual_line::Scenario;
using virtual_line::Server;

namespace {

constexpr int64_t LIMIT_MS = 500;
// After its limit an exchange still examines the bytes in hand, at most a port read for each.
constexpr int64_t AFTER_LIMIT_MS = 25;

struct CampaignRun {
    std::string port;
    int status = -1;
    std::string out;
    std::string err;
    virtual_line::DeviceRecord device;
    bool fileUnchanged = false;
};

enum class Cause { Holds, ChecksumBlind, LostRequestAndDuplicate, Fault };

// The port a run names: the line itself, or a device server at its far end.
std::string portOf(const Scenario& scenario) {
    return scenario.server == Server::None ? "3" : "rfc2217://sim:2217";
}

// Every way to the device the campaigns go: the port, and a device server behaving or not.
const std::pair<Server, const char*> SERVERS[] = {
    {Server::None, ""},
    {Server::Plain, " through a device server"},
    {Server::StopsReading, " through a server that stops reading"},
    {Server::OptionFlood, " through a server that floods option requests"},
    {Server::Trickle, " through a server that trickles"},
    {Server::SplitIac, " through a server that splits every IAC"}};

class Campaigns : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        directory = new TempDir();
        settingsPath = directory->file("settings.qorv");
        settings = sampleSettings();
        writeFile(settingsPath, frameOf(0x91, settings));
    }
    static void TearDownTestSuite() { delete directory; }

    CampaignRun run(const Scenario& scenario) {
        const FileStamp before = stampOf(settingsPath);
        virtual_line::reset(scenario);
        CampaignRun result;
        result.port = portOf(scenario);
        const char* argv[] = {"QorvWriter", settingsPath.c_str(), result.port.c_str(), nullptr};
        out.begin();
        err.begin();
        result.status = qorv::runCommand(3, argv);
        result.err = err.end();
        result.out = out.end();
        result.device = virtual_line::finish();
        result.fileUnchanged = stampOf(settingsPath) == before;
        return result;
    }

    // The oracle. Says what broke, and whether the line protocol itself cannot tell.
    static Cause judge(const CampaignRun& run, std::string* why) {
        const std::string success = outputOf(Ending::Stored, settingsPath);
        const std::string failures[] = {outputOf(Ending::NoDevice, settingsPath, run.port),
                                        outputOf(Ending::WrongDevice, settingsPath),
                                        outputOf(Ending::NotStored, settingsPath)};
        const virtual_line::DeviceRecord& device = run.device;
        bool storedWrong = false;
        for (int block = 0; block < 16; ++block) {
            storedWrong = storedWrong || (device.blockStored[static_cast<size_t>(block)] &&
                                          !std::equal(settings.begin() + block * 66,
                                                      settings.begin() + (block + 1) * 66,
                                                      device.stored.begin() + block * 66));
        }
        bool slow = false;
        for (size_t i = 0; i < device.requestTimesMs.size(); ++i) {
            const bool last = i + 1 == device.requestTimesMs.size();
            const int64_t next = last ? device.endMs : device.requestTimesMs[i + 1];
            const int64_t quiet = last ? device.endQuietMs : device.lineQuietMs[i + 1];
            // An answer comes within the limit once the line is quiet, and whatever the line does,
            // the next exchange has ended within twice the limit (its bytes in hand examined
            // within it, its answer waited for within it).
            slow = slow ||
                   next - std::max(device.requestTimesMs[i], quiet) > LIMIT_MS + AFTER_LIMIT_MS ||
                   next - device.requestTimesMs[i] > 2 * LIMIT_MS + AFTER_LIMIT_MS;
        }
        const bool known = run.out == success || run.out == failures[0] || run.out == failures[1] ||
                           run.out == failures[2];
        const bool falseSuccess =
            run.status == 0 && (!device.storedEveryBlock || storedWrong || device.refusalDelivered);
        *why = !known                                      ? "standard output is no transcript"
               : (run.status == 0) != (run.out == success) ? "exit status does not fit the output"
               : falseSuccess       ? "success reported for a device that does not hold the data"
               : storedWrong        ? "the device holds a block that differs from the file"
               : slow               ? "an exchange took longer than its limit allows"
               : !run.fileUnchanged ? "the settings file changed"
                                    : "";
        if (why->empty()) {
            return Cause::Holds;
        }
        if ((falseSuccess || storedWrong) && device.tookAlteredFrame) {
            return Cause::ChecksumBlind;
        }
        if (falseSuccess && !storedWrong && device.missedRequest && device.sentDuplicate) {
            return Cause::LostRequestAndDuplicate;
        }
        return Cause::Fault;
    }

    // Runs every scenario, counts the outcomes by cause, and fails on any fault. A limit of the
    // line protocol is taken only in scenarios whose name holds `limitsIn`.
    void sweep(const std::vector<std::pair<std::string, Scenario>>& scenarios,
               const std::string& limitsIn) {
        std::map<Cause, int> counts;
        std::map<std::string, int> outcomes;
        std::vector<std::string> listed;
        for (const auto& [name, scenario] : scenarios) {
            const CampaignRun result = run(scenario);
            std::string why;
            const Cause cause = judge(result, &why);
            ++counts[cause];
            ++outcomes[result.status == 0 ? "stored" : "not stored"];
            if (cause == Cause::Fault ||
                (cause != Cause::Holds && name.find(limitsIn) == std::string::npos)) {
                ADD_FAILURE() << name << ": " << why << "\n" << result.out << result.err;
            }
            if (cause != Cause::Holds && cause != Cause::Fault && listed.size() < 40) {
                listed.push_back(name + ": " + why);
            }
        }
        std::printf(
            "%zu runs: %d hold the oracle (%d stored, %d not stored), %d checksum-blind, "
            "%d lost request with a late duplicate, %d faults\n",
            scenarios.size(), counts[Cause::Holds], outcomes["stored"], outcomes["not stored"],
            counts[Cause::ChecksumBlind], counts[Cause::LostRequestAndDuplicate],
            counts[Cause::Fault]);
        for (const std::string& line : listed) {
            std::printf("  limit of the line protocol: %s\n", line.c_str());
        }
    }

    static TempDir* directory;
    static std::string settingsPath;
    static Bytes settings;
    Capture out{STDOUT_FILENO};
    Capture err{STDERR_FILENO};
};

TempDir* Campaigns::directory = nullptr;
std::string Campaigns::settingsPath;
Bytes Campaigns::settings;

const char* exchangeName(int exchange) {
    static const std::string names[] = {"probe",    "identity", "block 1",  "block 2",  "block 3",
                                        "block 4",  "block 5",  "block 6",  "block 7",  "block 8",
                                        "block 9",  "block 10", "block 11", "block 12", "block 13",
                                        "block 14", "block 15", "block 16", "finish"};
    return names[exchange].c_str();
}

}  // namespace

TEST_F(Campaigns, EverySingleByteFaultOnTheWire) {
    for (const Server server : {Server::None, Server::Plain}) {
        Scenario plain;
        plain.server = server;
        const CampaignRun clean = run(plain);
        std::string why;
        ASSERT_EQ(judge(clean, &why), Cause::Holds) << why;
        ASSERT_EQ(clean.status, 0) << clean.err;
        // The whole store: 1,199 bytes to the device, 99 from it.
        ASSERT_EQ(clean.device.bytesToDevice, 1199);
        ASSERT_EQ(clean.device.bytesFromDevice, 99);
    }
    const CampaignRun clean = run({});

    const std::pair<ByteFault, const char*> faults[] = {{ByteFault::Flip, "flipped in one bit"},
                                                        {ByteFault::Drop, "dropped"},
                                                        {ByteFault::Double, "doubled"},
                                                        {ByteFault::Preamble, "replaced by 0xFA"}};
    std::vector<std::pair<std::string, Scenario>> scenarios;
    for (bool toDevice : {true, false}) {
        const int bytes = toDevice ? clean.device.bytesToDevice : clean.device.bytesFromDevice;
        for (int index = 0; index < bytes; ++index) {
            for (const auto& [fault, name] : faults) {
                for (const Server server : {Server::None, Server::Plain}) {
                    Scenario scenario;
                    scenario.server = server;
                    scenario.faultToDevice = toDevice;
                    scenario.faultIndex = index;
                    scenario.fault = fault;
                    scenarios.emplace_back(
                        std::string(toDevice ? "to the device" : "from the device") + ", byte " +
                            std::to_string(index) + " " + name +
                            (server == Server::None ? "" : " through a device server"),
                        scenario);
                }
            }
        }
    }
    sweep(scenarios, "to the device, byte");
}

TEST_F(Campaigns, EveryAnswerRace) {
    // Late by amounts that land while the next request crosses the line, around its answer, in
    // the exchange after it, and past the limit.
    const int lateMs[] = {0, 1, 4, 8, 20, 100, 450, 600};
    std::vector<std::pair<std::string, Scenario>> scenarios;
    // Each on an adapter that hands bytes on as they come, one with a 1 ms latency timer, and
    // one with the common default of 16 ms, which delivers a burst of frames at once.
    // On the port and through every kind of device server.
    const auto add = [&](const std::string& name, const std::vector<Race>& races) {
        for (const auto& [server, through] : SERVERS) {
            for (int tickUs : {0, 1000, 16000}) {
                Scenario scenario;
                scenario.server = server;
                scenario.races = races;
                scenario.adapterTickUs = tickUs;
                scenarios.emplace_back(
                    name + through + ", adapter tick " + std::to_string(tickUs) + " us", scenario);
            }
        }
    };
    for (int exchange = 0; exchange < virtual_line::EXCHANGES; ++exchange) {
        const std::string at = std::string(" at ") + exchangeName(exchange);
        for (int ms : lateMs) {
            add("duplicate " + std::to_string(ms) + " ms late" + at,
                {{exchange, Fault::LateDuplicate, ms}});
        }
        add("refused" + at, {{exchange, Fault::Error, 4}});
        add("refused with a stale answer in one burst" + at,
            {{exchange, Fault::StaleThenError, 4}});
        for (int ms : {1, 10}) {
            add("refusal split across the next request, " + std::to_string(ms) + " ms" + at,
                {{exchange, Fault::SplitRefusal, ms}});
        }
        add("answer past the limit" + at, {{exchange, Fault::Delay, 600}});
        add("answer lost" + at, {{exchange, Fault::AnswerLost, 0}});
        add("request lost" + at, {{exchange, Fault::Silence, 0}});
        // Floods longer than a tty's read buffer, in before the next request is written (the
        // tool held), or coming in at the line's pace while the tool reads.
        for (int flood : {3000, 5000, 8000, 20000}) {
            for (bool paced : {false, true}) {
                const std::string bytes =
                    std::to_string(flood) + " bytes" + (paced ? " at the line's pace" : "");
                add("refusal behind a flood of " + bytes + at,
                    {{exchange, Fault::FloodThenError, flood, paced}});
                if (exchange + 1 < virtual_line::EXCHANGES) {
                    add("duplicate behind a flood of " + bytes + at + ", the next request ignored",
                        {{exchange, Fault::Flood, flood, paced},
                         {exchange + 1, Fault::Silence, 0}});
                }
            }
        }
        if (exchange + 1 == virtual_line::EXCHANGES) {
            continue;
        }
        const std::tuple<Fault, int, const char*> next[] = {
            {Fault::Error, 4, "refused"},
            {Fault::StaleThenError, 4, "refused in a burst"},
            {Fault::AnswerLost, 0, "answer lost"},
            {Fault::Silence, 0, "request lost"}};
        for (int ms : {0, 1, 4, 8, 20}) {
            for (const auto& [fault, value, name] : next) {
                add("duplicate " + std::to_string(ms) + " ms late" + at + ", then " + name,
                    {{exchange, Fault::LateDuplicate, ms}, {exchange + 1, fault, value}});
            }
        }
    }
    sweep(scenarios, "then request lost");
}
