// QorvWriter.exe under wine, a real implementation of the Win32 serial, file and console calls,
// against the simulator: the same scenarios as natively. COM n reaches the simulator's pty
// through the prefix's dosdevices/comn link. Skipped unless QORV_WINDOWS_EXE names the exe.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>
#include <tuple>

#include "qorv_version.h"
#include "tests/sim_run.h"

using namespace testing_support;
using pelorix::Fault;
using pelorix::FaultRule;
using pelorix::SimOptions;

namespace {

std::string windowsPath(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

class WindowsSuite : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const char* exePath = std::getenv("QORV_WINDOWS_EXE");
        if (exePath == nullptr || *exePath == '\0') {
            return;
        }
        exe = new std::string(exePath);
        prefix = new TempDir;
        setenv("WINEPREFIX", prefix->path().c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        // Wine takes the command line in the locale's character set: UTF-8 file names.
        setenv("LC_ALL", "C.UTF-8", 1);
        const RunResult boot = runProgram({"wineboot", "-i"});
        ASSERT_EQ(boot.status, 0) << boot.err;
    }
    static void TearDownTestSuite() {
        if (prefix != nullptr) {
            runProgram({"wineserver", "-k"});
            delete prefix;
            delete exe;
            prefix = nullptr;
            exe = nullptr;
        }
    }
    void SetUp() override {
        if (exe == nullptr) {
            GTEST_SKIP() << "QORV_WINDOWS_EXE is not set";
        }
        settingsPath = dir.file("device.qorv");
        writeFile(settingsPath, frameOf(0x91, settings));
    }

    // Runs a command under wine against the simulator. Now and then (seen three times in about
    // 1,400 launches under scripts/stress.sh) wine starts the program without a working standard
    // output: it runs and ends with its own status, and its standard output comes back empty
    // (once with standard error, twice without). The tool never ends a run without writing to
    // standard output, so such a run is said and made once more.
    ToolRun runUnderWine(const SimOptions& options, const CommandFor& command) {
        ToolRun run = runAgainstSim(options, settingsPath, command);
        if (run.result.out.empty()) {
            std::fprintf(stderr,
                         "wine gave back no standard output (status %d, standard error: %s); "
                         "running it again\n",
                         run.result.status, run.result.err.c_str());
            run = runAgainstSim(options, settingsPath, command);
        }
        return run;
    }

    // Runs `QorvWriter.exe file comNumber extra...` with COM comNumber linked to the simulator;
    // `portArgument` is the port as typed, the number by default.
    // `environment`: "NAME=value" entries added to the program's environment.
    ToolRun runWindows(const SimOptions& options, int comNumber,
                       const std::vector<std::string>& extra = {},
                       const std::string& portArgument = "",
                       const std::vector<std::string>& environment = {}) {
        ToolRun run = runUnderWine(options, [&](const std::string& port) {
            const std::string link = prefix->path() + "/dosdevices/com" + std::to_string(comNumber);
            unlink(link.c_str());
            EXPECT_EQ(symlink(port.c_str(), link.c_str()), 0);
            std::vector<std::string> argv{"env"};
            argv.insert(argv.end(), environment.begin(), environment.end());
            argv.insert(argv.end(),
                        {"wine", *exe, windowsPath(settingsPath),
                         portArgument.empty() ? std::to_string(comNumber) : portArgument});
            argv.insert(argv.end(), extra.begin(), extra.end());
            return argv;
        });
        run.result.out = unixLines(run.result.out);
        return run;
    }

    RunResult runWindowsAlone(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"wine", *exe});
        RunResult run = runProgram(arguments);
        run.out = unixLines(run.out);
        return run;
    }

    static std::string* exe;
    static TempDir* prefix;
    TempDir dir;
    std::string settingsPath;
    Bytes settings = sampleSettings();
};

std::string* WindowsSuite::exe = nullptr;
TempDir* WindowsSuite::prefix = nullptr;

}  // namespace

TEST_F(WindowsSuite, ScenariosSharedWithTheNativeSuite) {
    const std::string records = dir.file("runs.jsonl");
    for (const StoreScenario& scenario : storeScenarios()) {
        const ToolRun run =
            runWindows(scenario.device, 3, {}, "", {"QORV_REPORT=" + windowsPath(records)});
        expectScenario(scenario, run, windowsPath(settingsPath), "3", settings, records, true);
    }
}

TEST_F(WindowsSuite, SuccessOnCom3AndCom12) {
    for (int com : {3, 12}) {
        const ToolRun run = runWindows({}, com);
        EXPECT_EQ(run.result.out, outputOf(Ending::Stored, windowsPath(settingsPath)));
        EXPECT_EQ(run.result.status, 0) << "COM" << com;
        EXPECT_EQ(run.result.err, "");
        EXPECT_EQ(hex(run.wire), hex(wireOfSuccess(settings)));
        EXPECT_EQ(run.stored, settings);
    }
}

TEST_F(WindowsSuite, PortTypedAsComN) {
    // Also written out as the device.
    EXPECT_EQ(runWindows({}, 5, {}, "\\\\.\\COM5").result.status, 0);
    const ToolRun run = runWindows({}, 12, {}, "com12");
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.stored, settings);
}

TEST_F(WindowsSuite, SettingsFilesNamedOutsideTheAnsiCodePage) {
    for (const char* name : {"\u8bbe\u7f6e.qorv", "\u0141\u00f3d\u017a.qorv"}) {
        TempDir own;
        settingsPath = own.file(name);
        writeFile(settingsPath, frameOf(0x91, settings));
        const ToolRun run = runWindows({}, 3);
        EXPECT_EQ(run.result.out, outputOf(Ending::Stored, windowsPath(settingsPath))) << name;
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(run.stored, settings);
        // No best-fit namesake was created beside it.
        size_t files = 0;
        for (const auto& entry : std::filesystem::directory_iterator(own.path())) {
            EXPECT_EQ(entry.path().filename().string(), name);
            ++files;
        }
        EXPECT_EQ(files, 1u);
    }
}

TEST_F(WindowsSuite, WireTraceOnlyToAFileOfItsOwn) {
    // A trace named outside the ANSI code page is written under its own name.
    TempDir own;
    const std::string trace = own.file("\u8ffd\u8e2a-\u0141\u00f3d\u017a.txt");
    const auto traced = [&](const std::string& tracePath) {
        return runWindows({}, 3, {}, "", {"QORV_TRACE=" + windowsPath(tracePath)});
    };
    ToolRun run = traced(trace);
    EXPECT_EQ(run.result.status, 0);
    const Bytes written = readFile(trace);
    EXPECT_NE(std::string(written.begin(), written.end()).find(" ms  sent     fa ff 30 00 d1"),
              std::string::npos);
    // The settings file itself is refused, and left as it was (runAgainstSim checks).
    run = traced(settingsPath);
    EXPECT_EQ(run.result.status, 0);
    EXPECT_NE(run.result.err.find("(it is the settings file); running without a trace"),
              std::string::npos)
        << run.result.err;
    EXPECT_EQ(run.stored, settings);

    // A copy cut off inside its data frame says where.
    const Bytes whole = frameOf(0x91, settings);
    writeFile(settingsPath, Bytes(whole.begin(), whole.begin() + 900));
    run = runWindows({}, 3);
    EXPECT_EQ(run.result.status, 1);
    EXPECT_NE(run.result.err.find("ends inside its settings data frame (0x91): the frame begins "
                                  "at byte 0 and is 1063 bytes long, the file holds 900 of them"),
              std::string::npos)
        << run.result.err;
}

TEST_F(WindowsSuite, RunRecordOfTheSystemsOwnNamesAndErrors) {
    // The device's failures are the shared scenarios'; here the port's and the file's.
    const std::vector<std::string> report{"QORV_REPORT=" + windowsPath(dir.file("runs.jsonl"))};
    const std::string device = settingsPath;
    runWindows({}, 3, {}, "", report);
    runWindows({}, 3, {}, "37", report);
    settingsPath = dir.file("missing.qorv");
    runWindows({}, 3, {}, "", report);
    settingsPath = dir.file("other.qorv");
    writeFile(settingsPath, frameOf(0x90, settings));
    runWindows({}, 3, {}, "", report);

    const std::vector<nlohmann::json> records = readRecords(dir.file("runs.jsonl"));
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0]["device"], "\\\\.\\COM3");
    EXPECT_EQ(records[0]["settings_file"], windowsPath(device));
    EXPECT_EQ(records[0]["exchanges"].size(), 19u);
    const char* failures[] = {"open_port: open_failed (system error 2)",
                              "open_file: open_failed (system error 2)",
                              "read_settings: no_settings_frame"};
    for (size_t i = 0; i < 3; ++i) {
        // Windows' own error codes: no such port, no such file.
        EXPECT_EQ(recordSummary(records[i + 1]), failures[i]);
    }
}

TEST_F(WindowsSuite, LineSettingsAndErrorPathsAgainstAModelOfTheSerialDrivers) {
    // The line settings leave nothing to other programs; and busy, missing and failing ports,
    // refused settings and timeouts, write timeouts, unplugging, fAbortOnError, ClearCommError
    // failing, system messages in another language, the port list, Ctrl+C at the key wait:
    // cases that wine's serial support cannot show. Both programs are built beside the exe.
    for (const char* program : {"win32_line_check.exe", "win32_driver_model.exe"}) {
        const std::string path = std::filesystem::path(*exe).parent_path().string() + "/" + program;
        ASSERT_EQ(access(path.c_str(), F_OK), 0) << "built by scripts/build-windows.sh";
        const RunResult run = runProgram({"wine", path});
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_NE(run.out.find(" 0 failed"), std::string::npos) << run.out;
    }
}

TEST_F(WindowsSuite, DriverThatStopsAnsweringEndsTheRunOnTime) {
    // The port's driver wedged from outside the executable: a library preloaded into wine holds
    // the system calls that wine makes for a request to the port for ever. Each run says the
    // failure and ends well within its bound, instead of hanging.
    struct Case {
        const char* stalls;
        const char* from;  // the store block the driver stops at ("0": at the open)
        int status;
        const char* err;
        const char* cause;
        int64_t maxMs;  // the failing exchange's or the open's, by the run record (whole ms, with
                        // 25 ms for the scheduling of a loaded machine)
    };
    const std::string stopped = "block 5 of 16: the port's driver stopped answering";
    const Case cases[] = {
        {"status", "5", 1, stopped.c_str(), "driver_stopped", 500 + 100 + 25},
        {"reads,status", "5", 1, stopped.c_str(), "driver_stopped", 500 + 100 + 25},
        {"reads", "5", 1, stopped.c_str(), "driver_stopped", 500 + 100 + 25},
        {"writes", "5", 1, "block 6 of 16: the port's driver stopped answering", "driver_stopped",
         500 + 100 + 25},
        {"purge", "5", 0, "", "", 500},
        {"settings", "0", 1, "stopped answering while the port was being set up", "open_failed",
         1000 + 100 + 25},
    };
    const std::string link = prefix->path() + "/dosdevices/com7";
    for (const Case& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        const ToolRun run =
            runWindows({}, 7, {}, "",
                       {"QORV_STALL_TTY=" + link, std::string("QORV_STALL=") + c.stalls,
                        std::string("QORV_STALL_AT=") + c.from, "LD_PRELOAD=" QORV_STALL_SHIM,
                        "QORV_REPORT=" + dir.file("stall.jsonl")});
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        SCOPED_TRACE(c.stalls);
        EXPECT_EQ(run.result.status, c.status) << run.result.out << run.result.err;
        EXPECT_NE(run.result.err.find(c.err), std::string::npos) << run.result.err;
        // The process ends at once after its record: the whole run, wine's start included (which
        // varies by a second or more on a busy machine), is far from the hang it was.
        EXPECT_LE(ms, 4000);
        const Bytes bytes = readFile(dir.file("stall.jsonl"));
        const std::string record(bytes.begin(), bytes.end());
        const nlohmann::json fields = nlohmann::json::parse(record, nullptr, false);
        ASSERT_TRUE(fields.is_object()) << record;
        const nlohmann::json& exchanges = fields["exchanges"];
        EXPECT_LE(c.status == 1 && exchanges.is_array() && !exchanges.empty()
                      ? exchanges.back()["ms"].get<int64_t>()
                      : fields["duration_ms"].get<int64_t>(),
                  c.maxMs)
            << record;
        EXPECT_EQ(
            record.find(c.cause[0] != '\0' ? std::string("\"cause\":\"") + c.cause + "\""
                                           : std::string("\"cause\":\"")) != std::string::npos,
            c.cause[0] != '\0')
            << record;
        std::remove(dir.file("stall.jsonl").c_str());
    }
}

TEST_F(WindowsSuite, DirectlyOnADeviceServer) {
    if (!haveProgram("ser2net") || !haveProgram("socat")) {
        GTEST_SKIP() << "ser2net and socat are not installed (scripts/install-deps.sh)";
    }
    // Winsock under wine, to the real ser2net.
    expectDeviceServerStores(
        [&](const std::string& port, const std::vector<std::string>& extra) {
            std::vector<std::string> argv{"wine", *exe, windowsPath(settingsPath), port};
            argv.insert(argv.end(), extra.begin(), extra.end());
            return argv;
        },
        settingsPath, windowsPath(settingsPath), dir, 44000 + getpid() % 20000, true);
}

TEST_F(WindowsSuite, StationStoresEveryComPortAtOnce) {
    // qorv-station.exe beside QorvWriter.exe, each store a process of its own under wine.
    const std::string station = exe->substr(0, exe->rfind('/') + 1) + "qorv-station.exe";
    SimulatedDevices devices({SimOptions{},
                              withFault(pelorix::EXCHANGE_FIRST_BLOCK + 8, Fault::Error, 4),
                              SimOptions{}});
    for (int i = 0; i < 3; ++i) {
        const std::string link = prefix->path() + "/dosdevices/com" + std::to_string(21 + i);
        unlink(link.c_str());
        ASSERT_EQ(symlink(devices.port(static_cast<size_t>(i)).c_str(), link.c_str()), 0);
    }
    const std::string records = dir.file("station.jsonl");
    const RunResult run =
        runProgram({"env", "QORV_REPORT=" + windowsPath(records), "wine", station,
                    windowsPath(settingsPath), "COM21", "COM22", "com21", "COM23", "COM29"});
    const std::string out = unixLines(run.out);
    EXPECT_EQ(run.status, 1) << out << run.err;
    for (const std::string& line :
         {std::string("2 stored, 2 failed"),
          std::string("  COM22: FAILED: block 9 of 16 refused by the device with error code 0x04"),
          std::string("  COM29: FAILED: \\\\.\\COM29: File not found; there is no such port"),
          std::string("COM22| Qorv data NOT stored successfully."),
          "  qorv-station " + windowsPath(settingsPath) + " COM22 COM29"}) {
        EXPECT_NE(out.find("\n" + line + "\n"), std::string::npos) << line << "\n" << out;
    }
    EXPECT_NE(out.find("COM21: stored ("), std::string::npos) << out;
    EXPECT_EQ(hex(devices[0].stored()), hex(settings));
    EXPECT_EQ(hex(devices[2].stored()), hex(settings));
    const std::vector<nlohmann::json> written = readRecords(records);
    ASSERT_EQ(written.size(), 4u);
    for (const nlohmann::json& record : written) {
        EXPECT_EQ(record["batch"], written[0]["batch"]);
    }
}

TEST_F(WindowsSuite, ExecutableSaysWhatItIs) {
    const Bytes image = readFile(*exe);
    const auto contains = [&](const std::string& text, bool wide) {
        Bytes wanted;
        for (char c : text) {
            wanted.push_back(static_cast<uint8_t>(c));
            if (wide) {
                wanted.push_back(0);
            }
        }
        return std::search(image.begin(), image.end(), wanted.begin(), wanted.end()) != image.end();
    };
    // The version resource, in UTF-16, with the project's version.
    for (const std::string& text : {std::string("ProductVersion"), std::string("FileDescription"),
                                    std::string("LegalCopyright"), std::string(QORV_VERSION),
                                    std::string("QorvWriter.exe")}) {
        EXPECT_TRUE(contains(text, true)) << text;
    }
    // The manifest: no elevation, Windows 7 to 11, long paths.
    for (const char* text : {"asInvoker", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                             "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a", "longPathAware>true"}) {
        EXPECT_TRUE(contains(text, false)) << text;
    }
}

TEST_F(WindowsSuite, MissingSettingsFileIsNotCreatedAndReadOnlyOneIsRead) {
    const std::string missing = settingsPath + ".missing";
    settingsPath = missing;
    ToolRun run = runWindows({}, 3);
    EXPECT_EQ(run.result.out, PORT_OPENED + "Opening Qorv file: " + windowsPath(missing) +
                                  "...ERROR: Can not open file " + windowsPath(missing) + "\n");
    EXPECT_EQ(run.result.status, 1);
    EXPECT_NE(access(missing.c_str(), F_OK), 0);

    // Read-only to everyone: wine maps this to the read-only attribute.
    settingsPath = dir.file("device.qorv");
    ASSERT_EQ(chmod(settingsPath.c_str(), 0444), 0);
    run = runWindows({}, 3);
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.stored, settings);
}

TEST_F(WindowsSuite, DeviceNameAsSettingsFileIsRefused) {
    // NUL never holds a frame and COM ports never end: neither is read as a settings file.
    for (const char* name : {"NUL", "\\\\.\\COM9"}) {
        ToolRun run = runUnderWine({}, [&](const std::string& port) {
            const std::string link = prefix->path() + "/dosdevices/com3";
            unlink(link.c_str());
            EXPECT_EQ(symlink(port.c_str(), link.c_str()), 0);
            return std::vector<std::string>{"wine", *exe, name, "3"};
        });
        EXPECT_EQ(unixLines(run.result.out), PORT_OPENED + "Opening Qorv file: " + name +
                                                 "...ERROR: Can not open file " + name + "\n")
            << run.result.err;
        EXPECT_EQ(run.result.status, 1);
        if (std::string(name) == "NUL") {
            EXPECT_NE(run.result.err.find("NUL: not a disk file"), std::string::npos)
                << run.result.err;
        }
    }
}

TEST_F(WindowsSuite, BaudRateArgumentReachesTheLine) {
    EXPECT_EQ(runWindows({}, 3, {"9600"}).lineSpeed, static_cast<unsigned>(B9600));
    EXPECT_EQ(runWindows({}, 3).lineSpeed, static_cast<unsigned>(B115200));
}

TEST_F(WindowsSuite, PortsThatOpenNothingAndTheUsageText) {
    for (const char* port : {"abc", "0", "37", "300"}) {
        const RunResult run = runWindowsAlone({windowsPath(settingsPath), port});
        EXPECT_EQ(run.out,
                  std::string("Opening COM port...ERROR: Can not open COM port ") + port + "\n");
        EXPECT_NE(run.err.find("\\\\.\\COM"), std::string::npos) << run.err;
        EXPECT_EQ(run.status, 1);
        // Not a port number at all, or one that is not there: the ports that are. Windows
        // numbers ports beyond 255.
        const bool number = std::string(port) == "37" || std::string(port) == "300";
        EXPECT_EQ(run.err.find("the port must be a number of 1 or more") != std::string::npos,
                  !number)
            << run.err;
        EXPECT_EQ(run.err.find("serial ports") != std::string::npos, number) << run.err;
    }
    // Standard input is redirected: the key wait must not hang.
    const RunResult usage = runWindowsAlone({});
    EXPECT_EQ(usage.out, USAGE_TEXT);
    EXPECT_EQ(usage.err.rfind("QorvWriter " QORV_VERSION "\r\n", 0), 0u) << usage.err;
    EXPECT_EQ(usage.status, 1);
    EXPECT_LT(usage.seconds, 20.0);
}
