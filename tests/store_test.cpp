// The whole command against the device simulator: stdout byte for byte, exit status, the frames
// on the wire and what the device stored. Every run also checks the settings file is unchanged.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <tuple>

#include "tests/sim_run.h"

using namespace testing_support;
using pelorix::Fault;
using pelorix::FaultRule;
using pelorix::SimOptions;

namespace {

const std::string NO_DATA = "ERROR: file does not contain valid Qorv data\n";
const std::string WRONG_DEVICE = "ERROR: This program can only be used with Norb 00300360\n";

std::string readingStart(const std::string& file) {
    return PORT_OPENED + "Opening Qorv file: " + file + "...done\n\nReading Qorv data from file...";
}

class Store : public ::testing::Test {
  protected:
    std::string settingsFile(const Bytes& body, const std::string& name = "device.qorv") {
        const std::string path = dir.file(name);
        writeFile(path, body);
        return path;
    }
    TempDir dir;
    Bytes settings = sampleSettings();
};

}  // namespace

TEST_F(Store, ScenariosSharedWithTheWindowsSuite) {
    const std::string file = settingsFile(frameOf(0x91, settings));
    RunOptions recorded;
    recorded.environment = {"QORV_REPORT=" + dir.file("runs.jsonl")};
    for (const StoreScenario& scenario : storeScenarios()) {
        const ToolRun run = runAgainstSim(
            scenario.device, file,
            [&](const std::string& port) {
                return std::vector<std::string>{QORVWRITER_PATH, file, port};
            },
            recorded);
        expectScenario(scenario, run, file, run.port, settings, dir.file("runs.jsonl"));
    }
}

TEST_F(Store, SuccessSendsTheWholeSequenceAndStoresTheData) {
    const std::string file = settingsFile(frameOf(0x91, settings));
    const ToolRun run = runAgainstSim({}, file);
    EXPECT_EQ(run.result.out, outputOf(Ending::Stored, file));
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(hex(run.wire), hex(wireOfSuccess(settings)));
    EXPECT_EQ(run.stored, settings);
}

TEST_F(Store, SettingsFileVariants) {
    // Noise and other frames before the data frame are skipped.
    const Bytes noisy = concat({{0x00, 0x13, 0xFA, 0x01},
                                frameOf(0x30, {}),
                                frameOf(0x92, {1, 2}),
                                frameOf(0x91, settings),
                                frameOf(0x91, Bytes(1056, 0xEE))});
    ToolRun run = runAgainstSim({}, settingsFile(noisy, "noisy.qorv"));
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.stored, settings);

    // Only the first 1056 bytes of a longer data frame are sent.
    Bytes longer = sampleSettings(2000);
    run = runAgainstSim({}, settingsFile(frameOf(0x91, longer), "long.qorv"));
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(hex(run.wire), hex(wireOfSuccess(Bytes(longer.begin(), longer.begin() + 1056))));

    // A data frame too short for sixteen blocks is no valid data: nothing is sent but the probe.
    const std::string shortFile =
        settingsFile(frameOf(0x91, Bytes(settings.begin(), settings.end() - 1)), "short.qorv");
    run = runAgainstSim({}, shortFile);
    EXPECT_EQ(run.result.out, readingStart(shortFile) + NO_DATA);
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.wire, PROBE_FRAME);
    EXPECT_NE(run.result.err.find("holds 1055 bytes, 1056 needed"), std::string::npos);
}

TEST_F(Store, SettingsFileThatCannotBeUsed) {
    // Frames, but no data frame.
    const std::string other = settingsFile(concat({frameOf(0x90, settings), {0xFA, 0xFF}}));
    ToolRun run = runAgainstSim({}, other);
    EXPECT_EQ(run.result.out, readingStart(other) + NO_DATA);
    EXPECT_EQ(run.result.status, 1);
    // What was read, and that a frame came which was not settings data.
    EXPECT_NE(run.result.err.find(other + ": 1065 bytes read, 1 valid frame with other"),
              std::string::npos)
        << run.result.err;
    EXPECT_EQ(run.wire, PROBE_FRAME);

    // A missing path cannot be opened, and is not created.
    const std::string missing = dir.file("missing.qorv");
    run = runAgainstSim({}, missing);
    EXPECT_EQ(run.result.out, PORT_OPENED + "Opening Qorv file: " + missing +
                                  "...ERROR: Can not open file " + missing + "\n");
    EXPECT_EQ(run.result.err, "QorvWriter: " + missing + ": No such file or directory\n");
    EXPECT_EQ(run.result.status, 1);
    EXPECT_NE(access(missing.c_str(), F_OK), 0);

    // A directory cannot be opened; the reason goes to standard error.
    run = runAgainstSim({}, dir.path());
    EXPECT_EQ(run.result.out, PORT_OPENED + "Opening Qorv file: " + dir.path() +
                                  "...ERROR: Can not open file " + dir.path() + "\n");
    EXPECT_EQ(run.result.err, "QorvWriter: " + dir.path() + ": Is a directory\n");
    EXPECT_EQ(run.result.status, 1);
    EXPECT_EQ(run.wire, PROBE_FRAME);

    // A copy cut off inside its data frame says where.
    const Bytes whole = concat({{0x00, 0x00}, frameOf(0x91, settings)});
    const std::string cut = settingsFile(Bytes(whole.begin(), whole.begin() + 900));
    run = runAgainstSim({}, cut);
    EXPECT_EQ(run.result.out, readingStart(cut) + NO_DATA);
    EXPECT_EQ(run.result.err,
              "QorvWriter: " + cut +
                  " ends inside its settings data frame (0x91): the frame begins at "
                  "byte 2 and is 1063 bytes long, the file holds 898 of them (cut "
                  "off?)\n");
}

TEST_F(Store, BabblingLineEndsTheIdentityExchange) {
    const std::string file = settingsFile(frameOf(0x91, settings));
    const ToolRun run =
        runAgainstSim(withFault(pelorix::EXCHANGE_IDENTITY, Fault::Babble, 2500), file);
    EXPECT_EQ(run.result.out, readingStart(file) + "done\n\n" + WRONG_DEVICE);
    EXPECT_EQ(run.result.status, 1);
    EXPECT_LT(run.result.seconds, 2.0);

    // Preambles streamed instead of the end's acknowledgement: the line never goes quiet after
    // the end, so no store can be vouched for, and the run ends within the limits, not after
    // 2.5 s more of waiting for quiet.
    const ToolRun end =
        runAgainstSim(withFault(pelorix::EXCHANGE_FINISH, Fault::Babble, 2500), file);
    EXPECT_EQ(end.result.out, outputOf(Ending::NotStored, file));
    EXPECT_EQ(end.result.status, 1);
    EXPECT_NE(end.result.err.find("end of the sequence: the line never went quiet: "),
              std::string::npos)
        << end.result.err;
    EXPECT_LT(end.result.seconds, 2.0);
}

TEST_F(Store, WireTrace) {
    const std::string file = settingsFile(frameOf(0x91, settings));
    const std::string tracePath = dir.file("wire.trace");
    const CommandFor command = [&](const std::string& port) {
        return std::vector<std::string>{QORVWRITER_PATH, file, port};
    };
    RunOptions traced;
    traced.environment = {"QORV_TRACE=" + tracePath};
    ToolRun run =
        runAgainstSim(withFault(pelorix::EXCHANGE_PROBE, Fault::Noise), file, command, traced);
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.result.err, "");
    const Bytes written = readFile(tracePath);
    const std::string trace(written.begin(), written.end());
    // Every frame with its direction and time, the noise before the first answer as dropped.
    for (const char* line : {" ms  sent     fa ff 30 00 d1\n", " ms  dropped  00 12 55 aa 0d 0a\n",
                             " ms  received fa ff 31 00 d0\n", " ms  sent     fa ff 40 00 c1\n",
                             " ms  received fa ff 41 00 c0\n"}) {
        EXPECT_NE(trace.find(line), std::string::npos) << line << trace;
    }
    size_t lines = 0;
    for (char c : trace) {
        lines += c == '\n' ? 1 : 0;
    }
    EXPECT_EQ(lines, 2u * 19u + 1u);

    // "-" traces to standard error; a trace that cannot be written is said, and the run goes on.
    traced.environment = {"QORV_TRACE=-"};
    run = runAgainstSim({}, file, command, traced);
    EXPECT_NE(run.result.err.find(" ms  sent     fa ff 30 00 d1\n"), std::string::npos);
    traced.environment = {"QORV_TRACE=" + dir.file("no/such/dir/trace")};
    run = runAgainstSim({}, file, command, traced);
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.result.out, outputOf(Ending::Stored, file));
    EXPECT_NE(run.result.err.find("cannot write the trace to " + dir.file("no/such/dir/trace")),
              std::string::npos)
        << run.result.err;

    // Never anything but a regular file of its own: not the settings file under any name, not
    // the port, not a FIFO without a reader (which would block the open), not a device. The run
    // stores as without a trace; the settings file is unchanged (runAgainstSim checks it).
    const std::string link = dir.file("link.qorv");
    const std::string hardLink = dir.file("hard.qorv");
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    ASSERT_EQ(::link(file.c_str(), hardLink.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string port;
    const CommandFor onPort = [&](const std::string& pty) {
        port = pty;
        return std::vector<std::string>{"env", "QORV_TRACE=" + pty, QORVWRITER_PATH, file, pty};
    };
    run = runAgainstSim({}, file, onPort);
    EXPECT_EQ(run.result.out, outputOf(Ending::Stored, file));
    EXPECT_EQ(hex(run.wire), hex(wireOfSuccess(settings)));
    EXPECT_NE(run.result.err.find("cannot write the trace to " + port + " (it is no regular file)"),
              std::string::npos)
        << run.result.err;
    for (const auto& [path, why] :
         std::vector<std::pair<std::string, std::string>>{{file, "it is the settings file"},
                                                          {link, "it is the settings file"},
                                                          {hardLink, "it is the settings file"},
                                                          {fifo, "it is no regular file"},
                                                          {"/dev/full", "it is no regular file"},
                                                          {dir.path(), "it is a directory"}}) {
        traced.environment = {"QORV_TRACE=" + path};
        run = runAgainstSim({}, file, command, traced);
        EXPECT_EQ(run.result.out, outputOf(Ending::Stored, file)) << path;
        EXPECT_EQ(run.result.err, "QorvWriter: cannot write the trace to " + path + " (" + why +
                                      "); running without a trace\n");
        EXPECT_LT(run.result.seconds, 5.0);
    }
    // The settings file named only by the trace's path is not made by the trace.
    const std::string missing = dir.file("missing.qorv");
    traced.environment = {"QORV_TRACE=" + missing};
    run = runAgainstSim(
        {}, missing,
        [&](const std::string& pty) {
            return std::vector<std::string>{QORVWRITER_PATH, missing, pty};
        },
        traced);
    EXPECT_EQ(run.result.status, 1);
    EXPECT_NE(access(missing.c_str(), F_OK), 0);

    // A trace file that fills up (a size limit here) is said once, at the end; the run stores.
    const CommandFor limited = [&](const std::string& pty) {
        return std::vector<std::string>{
            "sh",
            "-c",
            "ulimit -f 1; trap '' XFSZ; QORV_TRACE=" + tracePath + " exec \"$0\" \"$@\"",
            QORVWRITER_PATH,
            file,
            pty};
    };
    run = runAgainstSim({}, file, limited);
    EXPECT_EQ(run.result.out, outputOf(Ending::Stored, file));
    EXPECT_EQ(run.result.err.rfind("QorvWriter: the trace could not be written to " + tracePath +
                                       " (File too large); it is incomplete\n",
                                   0),
              0u)
        << run.result.err;
    EXPECT_EQ(std::count(run.result.err.begin(), run.result.err.end(), '\n'), 1);
}

TEST_F(Store, StaleAcknowledgementCannotHideARefusedBlock) {
    const std::string file = settingsFile(frameOf(0x91, settings));
    const std::string notStored = outputOf(Ending::NotStored, file);
    ToolRun run;
    // An acknowledgement repeated late, then the next block refused, at any lateness (50 ms in
    // the shared scenarios).
    for (const auto& [block, lateMs] : {std::pair<int, int>{5, 5}, {5, 200}, {14, 5}}) {
        SimOptions late =
            withFault(pelorix::EXCHANGE_FIRST_BLOCK + block, Fault::LateDuplicate, lateMs);
        late.faults.push_back({pelorix::EXCHANGE_FIRST_BLOCK + block + 1, Fault::Error, 4});
        run = runAgainstSim(late, file);
        EXPECT_EQ(run.result.out, notStored) << "block " << block << ", " << lateMs << " ms";
        EXPECT_EQ(run.result.status, 1);
    }

    // 8000 bytes of noise and a doubled acknowledgement of block 5 (then block 6 never answered),
    // or a refusal after the end's acknowledgement: more than a tty's read buffer holds, so the
    // rest waits in its driver when the next request is due. Repeated, as the timing varies (once
    // more in the shared scenarios).
    SimOptions flood = withFault(pelorix::EXCHANGE_FIRST_BLOCK + 4, Fault::Flood, 8000);
    flood.faults.push_back({pelorix::EXCHANGE_FIRST_BLOCK + 5, Fault::Silence});
    for (int round = 0; round < 3; ++round) {
        run = runAgainstSim(flood, file);
        EXPECT_EQ(run.result.out, notStored);
        EXPECT_NE(run.result.err.find("block 6 of 16: no answer within 500 ms"), std::string::npos)
            << run.result.err;
        run = runAgainstSim(withFault(pelorix::EXCHANGE_FINISH, Fault::FloodThenError, 8000), file);
        EXPECT_EQ(run.result.out, notStored);
        EXPECT_NE(run.result.err.find("after block 16 of 16 was acknowledged"), std::string::npos)
            << run.result.err;
    }
}

TEST_F(Store, LauncherWithClosedStreams) {
    const std::string file = settingsFile(frameOf(0x91, settings));
    const CommandFor command = [&](const std::string& port) {
        return std::vector<std::string>{QORVWRITER_PATH, file, port};
    };
    // Standard output closed, with or without standard input: the console text must reach
    // neither the settings file nor the line.
    ToolRun run;
    for (bool closeStdin : {false, true}) {
        RunOptions closed;
        closed.closeStdin = closeStdin;
        closed.closeStdout = true;
        run = runAgainstSim({}, file, command, closed);
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(hex(run.wire), hex(wireOfSuccess(settings)));
        EXPECT_EQ(run.stored, settings);
    }

    // A reader of standard output that has gone away does not stop the store.
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    ::close(pipeEnds[0]);
    RunOptions piped;
    piped.stdoutFd = pipeEnds[1];
    run = runAgainstSim({}, file, command, piped);
    ::close(pipeEnds[1]);
    EXPECT_EQ(run.result.signal, 0);
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(hex(run.wire), hex(wireOfSuccess(settings)));
}

TEST_F(Store, DirectlyOnADeviceServer) {
    if (!haveProgram("ser2net") || !haveProgram("socat")) {
        GTEST_SKIP() << "ser2net and socat are not installed (scripts/install-deps.sh)";
    }
    const std::string file = dir.file("server.qorv");
    expectDeviceServerStores(
        [&](const std::string& port, const std::vector<std::string>& extra) {
            std::vector<std::string> argv{QORVWRITER_PATH, file, port};
            argv.insert(argv.end(), extra.begin(), extra.end());
            return argv;
        },
        file, file, dir, 42000 + getpid() % 20000, false);
}

TEST_F(Store, ThroughASerialDeviceServer) {
    if (!haveProgram("ser2net") || !haveProgram("socat")) {
        GTEST_SKIP() << "ser2net and socat are not installed (scripts/install-deps.sh)";
    }
    const std::string file = settingsFile(frameOf(0x91, settings));
    const std::string tcpPort = std::to_string(40000 + getpid() % 20000);
    const std::string config = dir.file("ser2net.yaml");
    const std::string link = dir.file("remote-port");
    std::unique_ptr<Background> server;
    std::unique_ptr<Background> client;
    // The simulator's terminal is served on TCP by ser2net; socat makes a local pseudo-terminal
    // of that connection, which the tool opens like any port.
    const ToolRun run = runAgainstSim({}, file, [&](const std::string& device) {
        const std::string yaml = "connection: &device\n  accepter: tcp,127.0.0.1," + tcpPort +
                                 "\n  enable: on\n  connector: serialdev," + device +
                                 ",115200n82,local\n";
        writeFile(config, Bytes(yaml.begin(), yaml.end()));
        server =
            std::make_unique<Background>(std::vector<std::string>{"ser2net", "-n", "-c", config});
        client = std::make_unique<Background>(
            std::vector<std::string>{"socat", "pty,link=" + link + ",rawer",
                                     "tcp:127.0.0.1:" + tcpPort + ",retry=50,interval=0.1"});
        for (int i = 0; i < 100 && access(link.c_str(), F_OK) != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return std::vector<std::string>{QORVWRITER_PATH, file, link};
    });
    EXPECT_EQ(run.result.out, outputOf(Ending::Stored, file));
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(hex(run.wire), hex(wireOfSuccess(settings)));
    EXPECT_EQ(run.stored, settings);
}

TEST_F(Store, RunRecordForSuccessAndEveryFailingStep) {
    const std::string file = settingsFile(frameOf(0x91, settings));
    const std::string recordPath = dir.file("runs.jsonl");
    RunOptions recorded;
    recorded.environment = {"QORV_REPORT=" + recordPath};
    const auto runWith = [&](const SimOptions& options, const std::string& settingsPath,
                             const std::string& port = "") {
        return runAgainstSim(
            options, settingsPath,
            [&](const std::string& pty) {
                return std::vector<std::string>{QORVWRITER_PATH, settingsPath,
                                                port.empty() ? pty : port};
            },
            recorded);
    };
    // The settings' checksum as sha256sum computes it.
    writeFile(dir.file("sent.bin"), Bytes(settings.begin(), settings.begin() + 1056));
    const RunResult sum = runProgram({"sha256sum", dir.file("sent.bin")});
    const std::string sha256 = sum.out.substr(0, 64);

    // The failures of the device's exchanges are the shared scenarios'; these are the port's and
    // the file's.
    const std::string noData = settingsFile(frameOf(0x90, settings), "other.qorv");
    const std::string oddName = dir.file("odd\xff\xed\xa0\x80\t.qorv");
    writeFile(oddName, frameOf(0x91, settings));
    runWith({}, file);
    runWith({}, file, "/dev/no-such-port");
    runWith({}, dir.file("missing.qorv"));
    runWith({}, noData);
    runWith({}, oddName);

    const std::vector<nlohmann::json> records = readRecords(recordPath);
    ASSERT_EQ(records.size(), 5u);
    const nlohmann::json& ok = records[0];
    EXPECT_EQ(ok["record"], 1);
    EXPECT_EQ(ok["tool"], "QorvWriter");
    EXPECT_EQ(ok["stored"], true);
    EXPECT_EQ(ok["exit_status"], 0);
    EXPECT_EQ(ok["step"], nullptr);
    EXPECT_EQ(ok["device_error"], nullptr);
    EXPECT_EQ(ok["os_error"], nullptr);
    EXPECT_EQ(ok["settings_file"], file);
    EXPECT_EQ(ok["settings_sha256"], sha256);
    EXPECT_EQ(ok["identity"], "00300360");
    EXPECT_EQ(ok["baud"], 115200);
    EXPECT_EQ(ok["time"].get<std::string>().size(), 20u);
    ASSERT_EQ(ok["exchanges"].size(), 19u);
    EXPECT_EQ(ok["exchanges"][0]["step"], "probe");
    EXPECT_FALSE(ok["exchanges"][0].contains("block"));
    EXPECT_EQ(ok["exchanges"][2]["block"], 1);
    EXPECT_EQ(ok["exchanges"][18]["step"], "finish");
    EXPECT_GE(ok["duration_ms"].get<int>(), 0);
    const char* failures[] = {"open_port: open_failed (system error 2)",
                              "open_file: open_failed (system error 2)",
                              "read_settings: no_settings_frame"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(recordSummary(records[i + 1]), failures[i]);
        EXPECT_EQ(records[i + 1]["exit_status"], 1);
    }
    EXPECT_EQ(records[1]["device"], nullptr);
    // A file name that is no UTF-8 (and holds a tab): the text with U+FFFD, its bytes exactly
    // beside it.
    EXPECT_EQ(records[4]["settings_file"],
              dir.file("odd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\t.qorv"));
    EXPECT_EQ(records[4]["settings_file_hex"].get<std::string>().substr(0, 2), "2f");

    // Never the settings file: refused, said, and the run goes on (the file is unchanged).
    recorded.environment = {"QORV_REPORT=" + file};
    const ToolRun refused = runWith({}, file);
    EXPECT_EQ(refused.result.status, 0);
    EXPECT_NE(refused.result.err.find("cannot write the run record to " + file +
                                      " (it is the settings file)"),
              std::string::npos)
        << refused.result.err;

    // The trace naming the record's file is refused: the records of earlier runs stay.
    const Bytes before = readFile(recordPath);
    recorded.environment = {"QORV_REPORT=" + recordPath, "QORV_TRACE=" + recordPath};
    ToolRun both = runWith({}, file);
    EXPECT_EQ(both.result.status, 0);
    EXPECT_NE(both.result.err.find("it is the run record's file"), std::string::npos)
        << both.result.err;
    const Bytes after = readFile(recordPath);
    ASSERT_GT(after.size(), before.size());
    EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));

    // Past the file size limit (1024 bytes): the trace's failed write is said and the store
    // completes (no SIGXFSZ); the record line that does not fit is taken back whole.
    const std::string small = dir.file("small.jsonl");
    writeFile(small, Bytes(1000, '\n'));
    recorded.environment = {"QORV_REPORT=" + small, "QORV_TRACE=" + dir.file("trace.txt")};
    both = runAgainstSim(
        {}, file,
        [&](const std::string& pty) {
            return std::vector<std::string>{
                "/bin/sh", "-c", "ulimit -f 2; exec \"$0\" \"$@\"", QORVWRITER_PATH, file, pty};
        },
        recorded);
    EXPECT_EQ(both.result.status, 0) << both.result.err;
    EXPECT_NE(both.result.err.find("the trace could not be written"), std::string::npos)
        << both.result.err;
    EXPECT_NE(both.result.err.find("the run record could not be written"), std::string::npos);
    EXPECT_EQ(readFile(small), Bytes(1000, '\n'));
}
