// qorv-station against simulated devices, and QorvWriter's progress feed that it draws on.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include "sim/simulator.h"
#include "tests/sim_run.h"
#include "tests/support.h"

using namespace testing_support;

namespace {

pelorix::SimOptions paced(int delayMs = 0) {
    pelorix::SimOptions options = withFault(pelorix::EXCHANGE_ANY, pelorix::Fault::Delay, delayMs);
    options.paceBaud = 115200;
    return options;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

bool hasLine(const std::string& text, const std::string& line) {
    for (const std::string& each : linesOf(text)) {
        if (each == line) {
            return true;
        }
    }
    return false;
}

// Processes whose command line holds `text` (the stores of one test's settings file).
int processesNaming(const std::string& text) {
    const RunResult found = runProgram({"pgrep", "-f", "-c", text});
    return std::atoi(found.out.c_str());
}

}  // namespace

TEST(Station, StoresEveryPortAtOnceAndSaysWhichFailed) {
    TempDir dir;
    const Bytes settings = sampleSettings();
    const std::string file = dir.file("bench settings.qorv");
    writeFile(file, frameOf(0x91, settings));
    SimulatedDevices devices(
        {paced(), withFault(pelorix::EXCHANGE_FIRST_BLOCK + 8, pelorix::Fault::Error, 4), paced(),
         paced()});
    // The fourth held by another program: its row says so, and names the holder (here the test
    // itself, which keeps the terminal open for its simulator).
    const Background holder({"flock", devices.port(3), "sleep", "10"});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // The first device named again through a link: stored once.
    const std::string link = dir.file("bench0");
    ASSERT_EQ(symlink(devices.port(0).c_str(), link.c_str()), 0);
    const std::string missing = dir.file("no-such-port");
    RunOptions options;
    options.environment = {"QORV_REPORT=" + dir.file("records.jsonl")};
    const std::string logs = dir.file("logs");
    const RunResult run =
        runProgram({QORV_STATION_PATH, file, devices.port(0), devices.port(1), devices.port(2),
                    link, missing, "usb:1234:5678", devices.port(3), "--logs", logs},
                   options);
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    // Not on a terminal: a line per port as it ends, then the summary and the retry.
    const std::string& out = run.out;
    EXPECT_TRUE(out.find(devices.port(0) + ": stored (") != std::string::npos) << out;
    EXPECT_TRUE(out.find(devices.port(2) + ": stored (") != std::string::npos) << out;
    EXPECT_TRUE(hasLine(out, "2 stored, 4 failed")) << out;
    EXPECT_NE(out.find("  " + devices.port(3) + ": FAILED: " + devices.port(3) +
                       ": Device or resource busy; another program holds the port: "),
              std::string::npos)
        << out;
    for (const std::string& failed :
         {devices.port(1) + ": FAILED: block 9 of 16 refused by the device with error code 0x04",
          missing + ": FAILED: " + missing + ": No such file or directory; there is no such port",
          std::string("usb:1234:5678: FAILED: no port present matches it")}) {
        EXPECT_TRUE(hasLine(out, "  " + failed)) << failed << "\n" << out;
    }
    // The failed store's own output, after its port.
    EXPECT_TRUE(hasLine(out, devices.port(1) + "| Qorv data NOT stored successfully.")) << out;
    EXPECT_TRUE(hasLine(out, "  qorv-station '" + file + "' " + devices.port(1) + " " + missing +
                                 " usb:1234:5678 " + devices.port(3) + " --logs " + logs))
        << out;
    // Every store's output kept, a file per port.
    std::string logName = devices.port(0).substr(5) + ".log";  // "pts_3.log" for /dev/pts/3
    std::replace(logName.begin(), logName.end(), '/', '_');
    const Bytes kept = readFile(logs + "/" + logName);
    EXPECT_EQ(std::string(kept.begin(), kept.end()),
              outputOf(Ending::Stored, file, devices.port(0)));
    for (size_t stored : {0u, 2u}) {
        EXPECT_EQ(hex(devices[stored].received()), hex(wireOfSuccess(settings))) << stored;
        EXPECT_EQ(hex(devices[stored].stored()), hex(settings));
    }
    // One record per store, all of one batch.
    const std::vector<nlohmann::json> records = readRecords(dir.file("records.jsonl"));
    ASSERT_EQ(records.size(), 5u);
    std::set<std::string> batches;
    std::multiset<bool> stored;
    for (const nlohmann::json& record : records) {
        batches.insert(record["batch"].get<std::string>());
        stored.insert(record["stored"].get<bool>());
        EXPECT_TRUE(record["arrival"].is_null());
    }
    EXPECT_EQ(batches.size(), 1u);
    EXPECT_EQ(stored.count(true), 2u);
}

TEST(Station, BadInputFailsBeforeAnyPortIsTouched) {
    TempDir dir;
    const std::string good = dir.file("good.qorv");
    writeFile(good, frameOf(0x91, sampleSettings()));
    const std::string cut = dir.file("cut.qorv");
    writeFile(cut, frameOf(0x91, sampleSettings(1000)));
    SimulatedDevices devices({pelorix::SimOptions{}});
    const std::string port = devices.port(0);
    struct Case {
        std::vector<std::string> arguments;
        std::string out;  // standard output, whole
        std::string err;  // a part of standard error
    };
    const std::string missing = dir.file("missing.qorv");
    const std::vector<Case> cases{
        {{missing, port},
         "Opening Qorv file: " + missing + "...ERROR: Can not open file " + missing + "\n",
         "No such file or directory"},
        {{cut, port},
         "Reading Qorv data from file...ERROR: file does not contain valid Qorv data\n",
         "no settings frame of 1056 bytes"},
        {{good, port, "--jobs", "0"}, "", "--jobs takes a number of 1 or more, not 0"},
        {{good, port, "--baud", "fast"}, "", "the baud rate is a number of 1 or more, not fast"},
        {{good}, "", "a settings file and at least one port are needed"},
        {{good, port, "--frobnicate"}, "", "unknown option --frobnicate"}};
    for (const Case& c : cases) {
        std::vector<std::string> argv{QORV_STATION_PATH};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const RunResult run = runProgram(argv);
        EXPECT_EQ(run.status, 1) << c.err;
        EXPECT_EQ(run.out, c.out) << c.err;
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
    EXPECT_TRUE(devices[0].received().empty());
    EXPECT_NE(access(missing.c_str(), F_OK), 0);
}

TEST(Station, EndsEveryStoreInFlightWhenStoppedAndOutlivesAStoreKilled) {
    TempDir dir;
    const Bytes settings = sampleSettings();
    const std::string file = dir.file("stopped.qorv");
    writeFile(file, frameOf(0x91, settings));
    {
        // SIGTERM to the station: each store ends as QorvWriter ends on a signal, none is left.
        SimulatedDevices devices({paced(100), paced(100)});
        RunOptions stopping;
        stopping.whileRunning = [](pid_t station) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            kill(station, SIGTERM);
        };
        const RunResult run =
            runProgram({QORV_STATION_PATH, file, devices.port(0), devices.port(1)}, stopping);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(hasLine(run.out, "0 stored, 2 failed")) << run.out;
        EXPECT_TRUE(hasLine(run.out, "  " + devices.port(0) + ": interrupted")) << run.out;
        EXPECT_LT(run.seconds, 2.0);
        EXPECT_EQ(processesNaming(file), 0);
    }
    {
        // One store killed from outside: its row says so, the other stores.
        SimulatedDevices devices({paced(60), paced(60)});
        const std::string victim = devices.port(1);
        RunOptions killing;
        killing.whileRunning = [&](pid_t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            runProgram({"pkill", "-KILL", "-f", "QorvWriter .*" + victim + "$"});
        };
        const RunResult run =
            runProgram({QORV_STATION_PATH, file, devices.port(0), victim}, killing);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(hasLine(run.out, "1 stored, 1 failed")) << run.out;
        EXPECT_TRUE(
            hasLine(run.out, "  " + victim + ": FAILED: the store's process was ended by signal 9"))
            << run.out;
        EXPECT_EQ(hex(devices[0].stored()), hex(settings));
    }
    {
        // Standard output a pipe whose reader has gone: the stores go on.
        SimulatedDevices devices({paced()});
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        close(ends[0]);
        RunOptions gone;
        gone.stdoutFd = ends[1];
        const RunResult run = runProgram({QORV_STATION_PATH, file, devices.port(0)}, gone);
        close(ends[1]);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(hex(devices[0].stored()), hex(settings));
    }
    {
        // Standard output closed: the stores go on.
        SimulatedDevices devices({paced()});
        RunOptions closed;
        closed.closeStdout = true;
        const RunResult run = runProgram({QORV_STATION_PATH, file, devices.port(0)}, closed);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(hex(devices[0].stored()), hex(settings));
    }
}

TEST(Station, ProgressFeedOfAStore) {
    TempDir dir;
    const std::string file = dir.file("feed.qorv");
    writeFile(file, frameOf(0x91, sampleSettings()));
    const std::string feed = dir.file("progress.jsonl");
    RunOptions options;
    options.environment = {"QORV_PROGRESS=" + feed};
    const ToolRun run = runAgainstSim(
        withFault(pelorix::EXCHANGE_FIRST_BLOCK + 2, pelorix::Fault::Error, 4), file,
        [&](const std::string& port) {
            return std::vector<std::string>{QORVWRITER_PATH, file, port};
        },
        options);
    EXPECT_EQ(run.result.out, outputOf(Ending::NotStored, file, run.port));
    std::string steps;
    nlohmann::json last;
    const Bytes fed = readFile(feed);
    for (const std::string& line : linesOf(std::string(fed.begin(), fed.end()))) {
        last = nlohmann::json::parse(line);
        EXPECT_EQ(last["progress"], 1);
        steps += last.contains("step") ? last["step"].get<std::string>() : "";
        steps += last.contains("block") && last["block"].is_number()
                     ? std::to_string(last["block"].get<int>())
                     : "";
        steps += " ";
    }
    EXPECT_EQ(steps, "open_port probe identity block1 block2 block3 block3 ");
    EXPECT_EQ(last["end"], "not_stored");
    EXPECT_EQ(last["cause"], "refused");
    EXPECT_EQ(last["reason"], "block 3 of 16 refused by the device with error code 0x04");
    // Standard output is no feed: refused, and the run is as without one.
    options.environment = {"QORV_PROGRESS=1"};
    const ToolRun refused = runAgainstSim(
        pelorix::SimOptions{}, file,
        [&](const std::string& port) {
            return std::vector<std::string>{QORVWRITER_PATH, file, port};
        },
        options);
    EXPECT_EQ(refused.result.out, outputOf(Ending::Stored, file, refused.port));
    EXPECT_NE(refused.result.err.find("cannot write progress to descriptor 1"), std::string::npos);
}

TEST(Station, FixtureStoresEachDeviceOnceAsItArrives) {
    TempDir dir;
    const Bytes settings = sampleSettings();
    const std::string file = dir.file("fixture.qorv");
    writeFile(file, frameOf(0x91, settings));
    // The fixture's port: a link that each new device's terminal is put behind, as a device
    // plugged into the same cable.
    const std::string fixture = dir.file("fixture");
    pelorix::SimOptions refusing =
        withFault(pelorix::EXCHANGE_FIRST_BLOCK + 2, pelorix::Fault::Error, 4);
    pelorix::SimOptions leaving;
    leaving.once = true;
    std::vector<Bytes> received;
    RunOptions options;
    options.environment = {"QORV_REPORT=" + dir.file("records.jsonl")};
    options.whileRunning = [&](pid_t station) {
        // Two devices that leave once stored, then one that refuses and stays.
        for (const pelorix::SimOptions& device : {leaving, leaving, refusing}) {
            SimulatedDevices arriving({device});
            unlink(fixture.c_str());
            EXPECT_EQ(symlink(arriving.port(0).c_str(), fixture.c_str()), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            received.push_back(arriving[0].received());
        }
        kill(station, SIGINT);
    };
    const RunResult run = runProgram({QORV_STATION_PATH, "--watch", file, fixture}, options);
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const std::vector<std::string> lines = linesOf(run.out);
    ASSERT_GE(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[0].rfind(fixture + ": arrival 1: PASS (", 0), 0u) << run.out;
    EXPECT_EQ(lines[1].rfind(fixture + ": arrival 2: PASS (", 0), 0u) << run.out;
    EXPECT_EQ(lines[2].rfind(fixture + ": arrival 3: FAIL: block 3 of 16 refused", 0), 0u)
        << run.out;
    EXPECT_TRUE(hasLine(run.out, "in all: 2 stored, 1 failed")) << run.out;
    // Nothing but probes around each store, one store per arrival.
    const auto withoutProbes = [](const Bytes& wire) {
        std::string sent = hex(wire);
        const std::string probe = hex(frameOf(0x30, {}));
        for (size_t at; (at = sent.find(probe)) != std::string::npos;) {
            sent.erase(at, probe.size());
        }
        return sent;
    };
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(withoutProbes(received[0]), withoutProbes(wireOfSuccess(settings)));
    EXPECT_EQ(withoutProbes(received[1]), withoutProbes(wireOfSuccess(settings)));
    const std::string refused = withoutProbes(received[2]);
    EXPECT_EQ(refused.find(hex(storeBlockFrame(settings, 2))),
              refused.size() - hex(storeBlockFrame(settings, 2)).size());
    const std::vector<nlohmann::json> records = readRecords(dir.file("records.jsonl"));
    ASSERT_EQ(records.size(), 3u);
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i]["arrival"], i + 1);
        EXPECT_EQ(records[i]["batch"], records[0]["batch"]);
    }
}

TEST(Station, TableOnATerminalRedrawnInPlaceAndFittedWhenResized) {
    TempDir dir;
    const std::string file = dir.file("table.qorv");
    writeFile(file, frameOf(0x91, sampleSettings()));
    SimulatedDevices devices({paced(40), paced(40)});
    PtyPair terminal;
    winsize size{};
    size.ws_col = 80;
    size.ws_row = 24;
    ASSERT_EQ(ioctl(terminal.masterFd(), TIOCSWINSZ, &size), 0);
    // What the station draws, read as it comes (a terminal that is not read holds its writer).
    std::string drawn;
    std::atomic<bool> ended{false};
    std::thread reader([&] {
        while (!ended) {
            const Bytes got = terminal.drain(20);
            drawn.append(got.begin(), got.end());
        }
    });
    RunOptions options;
    options.stdoutFd = terminal.slaveFd();
    options.environment = {"TERM=xterm"};
    size_t resizedAt = 0;
    options.whileRunning = [&](pid_t) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        size.ws_col = 60;
        ioctl(terminal.masterFd(), TIOCSWINSZ, &size);
        resizedAt = drawn.size();
    };
    const RunResult run =
        runProgram({QORV_STATION_PATH, file, devices.port(0), devices.port(1)}, options);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ended = true;
    reader.join();
    EXPECT_EQ(run.status, 0) << drawn;
    // Each frame goes back over the one before it; every line fits the terminal as it is then
    // (from the second frame begun after the resize).
    EXPECT_NE(drawn.find("\r\x1b[4A"), std::string::npos);
    const auto visible = [](std::string text) {
        for (size_t at; (at = text.find('\x1b')) != std::string::npos;) {
            text.erase(at, text.find_first_of("ABCDHJKhlm", at) - at + 1);
        }
        return text;
    };
    size_t widest[2] = {};
    size_t framesAfter = 0;
    for (size_t at = drawn.find("\x1b[?25l"); at != std::string::npos;
         at = drawn.find("\x1b[?25l", at + 1)) {
        const bool after = at > resizedAt && ++framesAfter > 1;
        for (const std::string& line :
             linesOf(visible(drawn.substr(at, drawn.find("\x1b[?25h", at) - at)))) {
            widest[after] = std::max(widest[after], line.size());
        }
    }
    EXPECT_EQ(widest[0], 79u);
    EXPECT_EQ(widest[1], 59u) << visible(drawn);
    const std::string frames = visible(drawn);
    EXPECT_TRUE(hasLine(frames, "2 stored, 0 failed")) << frames;
}
