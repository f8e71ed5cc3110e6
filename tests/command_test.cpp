// The command line of the built executable: usage text, port arguments and baud rates.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "channel/device_channel.h"
#include "channel/ports.h"
#include "qorv_version.h"
#include "report/diagnosis.h"
#include "report/run_record.h"
#include "tests/capture.h"
#include "tests/sim_run.h"

using namespace testing_support;

namespace {

// Runs the tool against a simulator and reads the line speed the tool left on the pty.
speed_t speedAfterRun(const std::vector<std::string>& extra, RunResult* result) {
    TempDir dir;
    const std::string file = dir.file("s.qorv");
    writeFile(file, frameOf(0x91, sampleSettings()));
    const ToolRun run = runAgainstSim({}, file, extra);
    *result = run.result;
    return static_cast<speed_t>(run.lineSpeed);
}

// Run options with standard input a cooked terminal that becomes the program's own.
RunOptions onCookedTerminal(const PtyPair& terminal) {
    termios cooked{};
    tcgetattr(terminal.slaveFd(), &cooked);
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    tcsetattr(terminal.slaveFd(), TCSANOW, &cooked);
    RunOptions options;
    options.stdinFd = terminal.slaveFd();
    options.ownTerminal = true;
    return options;
}

}  // namespace

TEST(CommandLine, UsageWithTooFewArgumentsAndClosedInput) {
    const RunResult simVersion = runProgram({PELORIX_SIM_PATH, "--version"});
    EXPECT_EQ(simVersion.out, "pelorix-sim " QORV_VERSION "\n");
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{QORVWRITER_PATH}, {QORVWRITER_PATH, "file.qorv"}}) {
        const RunResult run = runProgram(argv);
        EXPECT_EQ(run.out, USAGE_TEXT);
        EXPECT_EQ(run.status, 1);
        // The version and the ports present follow the usage text, on standard error.
        EXPECT_EQ(run.err.rfind("QorvWriter " QORV_VERSION "\nQorvWriter: ", 0), 0u) << run.err;
        EXPECT_TRUE(run.err.find("serial ports present:\n") != std::string::npos ||
                    run.err.find("no serial ports found") != std::string::npos)
            << run.err;
        EXPECT_LT(run.seconds, 5.0);
    }
}

TEST(CommandLine, UsageWaitsForOneKeystrokeOnATerminal) {
    // A plain key, Ctrl+C (a key here, not the end of the process), and an arrow key whose
    // other bytes must not be left to the shell.
    for (const Bytes& key : {Bytes{'k'}, Bytes{0x03}, Bytes{0x1B, '[', 'A'}}) {
        PtyPair terminal;
        const RunOptions onTerminal = onCookedTerminal(terminal);
        RunResult run;
        std::thread tool([&] { run = runProgram({QORVWRITER_PATH}, onTerminal); });
        // The key must not be needed with a line end, and must not be echoed.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        terminal.write(key);
        tool.join();
        SCOPED_TRACE(hex(key));
        EXPECT_EQ(run.out, USAGE_TEXT);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.signal, 0);
        EXPECT_GE(run.seconds, 0.25);
        EXPECT_TRUE(terminal.drain(50).empty());
        termios after{};
        tcgetattr(terminal.slaveFd(), &after);
        EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG),
                  static_cast<tcflag_t>(ICANON | ECHO | ISIG));
        int unread = -1;
        ioctl(terminal.slaveFd(), FIONREAD, &unread);
        EXPECT_EQ(unread, 0);
    }
    // A signal that ends the wait puts the terminal back as it was.
    PtyPair terminal;
    RunOptions onTerminal = onCookedTerminal(terminal);
    onTerminal.whileRunning = [](pid_t tool) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(tool, SIGQUIT);
    };
    const RunResult quit = runProgram({QORVWRITER_PATH}, onTerminal);
    EXPECT_EQ(quit.signal, SIGQUIT);
    termios after{};
    tcgetattr(terminal.slaveFd(), &after);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG), static_cast<tcflag_t>(ICANON | ECHO | ISIG));

    // The terminal the tool runs in, named as its port (or as /dev/tty), is refused before
    // anything is written to it or set on it.
    for (const std::string& port : {terminal.path(), std::string("/dev/tty")}) {
        const RunResult own = runProgram({QORVWRITER_PATH, "/dev/null", port}, onTerminal);
        EXPECT_EQ(own.status, 1);
        EXPECT_NE(own.err.find(port + ": it is the terminal this program runs in"),
                  std::string::npos)
            << own.err;
        EXPECT_TRUE(terminal.drain(50).empty());
        tcgetattr(terminal.slaveFd(), &after);
        EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG),
                  static_cast<tcflag_t>(ICANON | ECHO | ISIG));
    }
}

TEST(CommandLine, SignalDuringARunReleasesThePort) {
    for (int signalNumber : {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM}) {
        // Nothing answers: the tool waits for the probe's answer when the signal comes, while
        // another program (here the test) keeps the tty open.
        PtyPair pty;
        RunOptions signalled;
        signalled.whileRunning = [&](pid_t tool) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            kill(tool, signalNumber);
        };
        const RunResult run =
            runProgram({QORVWRITER_PATH, "/tmp/unused.qorv", pty.path()}, signalled);
        EXPECT_EQ(run.signal, signalNumber);
#ifdef TIOCGEXCL
        int exclusive = -1;
        ASSERT_EQ(ioctl(pty.slaveFd(), TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0) << "signal " << signalNumber;
#endif
    }
}

TEST(CommandLine, PortArgumentsThatOpenNothing) {
    TempDir dir;
    const std::string file = dir.file("s.qorv");
    for (const char* port : {"abc", "0", "-3", "/dev/no-such-port", "COM", "c", "bom3"}) {
        const RunResult run = runProgram({QORVWRITER_PATH, file, port});
        EXPECT_EQ(run.out,
                  std::string("Opening COM port...ERROR: Can not open COM port ") + port + "\n");
        EXPECT_EQ(run.err.rfind("QorvWriter: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(": No such file or directory\n"), std::string::npos) << run.err;
        // No number of 1 or more is no port at all, whatever the system has.
        EXPECT_EQ(run.err.find("the port must be a number of 1 or more") != std::string::npos,
                  port[0] != '/')
            << run.err;
        EXPECT_EQ(run.status, 1);
    }
    // A port that is not there: the ports that are.
    const RunResult missing = runProgram({QORVWRITER_PATH, file, "/dev/no-such-port"});
    EXPECT_TRUE(missing.err.find("serial ports present:\n") != std::string::npos ||
                missing.err.find("no serial ports found") != std::string::npos)
        << missing.err;
    // "COMn" in any letter case is port n, also written out as the device; the message shows it
    // as typed.
    for (const char* port : {"COM40", "com40", "Com40", "\\\\.\\COM40"}) {
        const RunResult run = runProgram({QORVWRITER_PATH, file, port});
        EXPECT_EQ(run.out,
                  std::string("Opening COM port...ERROR: Can not open COM port ") + port + "\n");
        EXPECT_EQ(run.err.rfind("QorvWriter: /dev/ttyS39: ", 0), 0u) << run.err;
    }
    // The settings file is not touched before the port is open.
    EXPECT_NE(access(file.c_str(), F_OK), 0);
}

TEST(CommandLine, UsbIdentityFromWindowsInstanceIds) {
    // The nodes from a port up (instance ID, first location path), as the device manager gives
    // them; the IDs, serial number, location and interface.
    const std::string bus = "PCIROOT(0)#PCI(1400)#USBROOT(0)";
    const std::string hub = "USB\\ROOT_HUB30\\4&1B2C3D4E&0&0";
    const std::vector<std::pair<std::vector<qorv::WindowsNode>, std::string>> ids{
        // The FTDI driver's port has no location; its serial number ends in the channel's letter.
        {{{"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", ""},
          {"USB\\VID_0403&PID_6001\\A50285BI", bus + "#USB(3)"},
          {hub, bus}},
         "0403:6001 A50285BI 3 1.0"},
        // A four-port chip: each channel an interface of a composite device.
        {{{"FTDIBUS\\VID_0403+PID_6011+FT4ZABCDB\\0000", ""},
          {"USB\\VID_0403&PID_6011&MI_01\\7&2A3B4C5D&0&0001", bus + "#USB(2)#USB(4)#USBMI(1)"},
          {"USB\\VID_0403&PID_6011\\FT4ZABCD", bus + "#USB(2)#USB(4)"}},
         "0403:6011 FT4ZABCD 2.4 1.1"},
        // A chip without a serial number: the ID Windows made up is none.
        {{{"USB\\VID_1A86&PID_7523\\5&2B0A2B3C&0&5", bus + "#USB(5)"}, {hub, bus}},
         "1a86:7523  5 1.0"},
        {{{"USB\\VID_10C4&PID_EA60\\0001", bus + "#USB(1)#USB(3)"}, {hub, bus}},
         "10c4:ea60 0001 1.3 1.0"},
        // A composite device's interface takes the device's serial number; MI_ is hex.
        {{{"USB\\VID_10C4&PID_EA70&MI_01\\6&1A2B3C4D&0&0001", bus + "#USB(6)#USBMI(1)"},
          {"USB\\VID_10C4&PID_EA70\\00F1A2B3", bus + "#USB(6)"},
          {hub, bus}},
         "10c4:ea70 00F1A2B3 6 1.1"},
        // A CDC device under the Modem class, composite and not.
        {{{"USB\\VID_1E0E&PID_9001&MI_0C\\6&3C4D5E6F&0&000C", bus + "#USB(7)#USBMI(12)"},
          {"USB\\VID_1E0E&PID_9001\\0123456789ABCDEF", bus + "#USB(7)"}},
         "1e0e:9001 0123456789ABCDEF 7 1.12"},
        {{{"usb\\vid_2341&pid_0043\\75330303035351F0F1E1", ""}},
         "2341:0043 75330303035351F0F1E1  1.0"},
        // A Bluetooth port above a USB radio, and a virtual pair, are no USB adapters.
        {{{"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1D80ECD3&0&0", ""},
          {"BTH\\MS_BTHBRB\\6&2B4D1C3E&0&1", ""},
          {"USB\\VID_8087&PID_0A2B\\5&1E2F3A4B&0&10", bus + "#USB(10)"}},
         "no USB"},
        {{{"COM0COM\\PORT\\CNCA0", ""}, {"ROOT\\COM0COM\\0000", ""}}, "no USB"}};
    std::vector<qorv::PortPresent> ports;
    for (const auto& [nodes, expected] : ids) {
        qorv::PortPresent port;
        const bool usb = qorv::usbIdentityFromWindows(nodes, &port);
        EXPECT_EQ(usb ? port.vid + ":" + port.pid + " " + port.serial + " " + port.location + " " +
                            port.usbInterface
                      : "no USB",
                  expected)
            << nodes.front().instanceId;
        ports.push_back(port);
    }
    // The four-port chip's channel B: by the device's serial number or the driver's, by its
    // interface written as on Linux or as Windows numbers it.
    for (const char* picks : {"usb:0403:6011:FT4ZABCD", "usb:0403:6011:FT4ZABCDB", "usb@2.4",
                              "usb@2.4:1.1", "usb@2.4:01", "usb@2.4:1"}) {
        EXPECT_TRUE(qorv::selects(picks, ports[1])) << picks;
    }
    for (const char* misses : {"usb:0403:6011:FT4ZABCDA", "usb:0403:6011:FT4ZABC", "usb@2",
                               "usb@2.4:1.2", "usb@2.4:02", "usb@2.4:", "usb@2.44"}) {
        EXPECT_FALSE(qorv::selects(misses, ports[1])) << misses;
    }
    // The channel's letter is the FTDI driver's alone.
    EXPECT_FALSE(qorv::selects("usb:10c4:ea70:00F1A2B3B", ports[4]));
    EXPECT_EQ(qorv::selectorFor(ports[4], ports), "usb:10c4:ea70");
    // Windows lists COM12 by its name; it is opened as the device, as every COM port is.
    qorv::PortPresent com12;
    com12.device = "COM12";
    EXPECT_EQ(qorv::deviceToOpen(com12), "\\\\.\\COM12");
}

#ifdef __linux__
TEST(CommandLine, PortArgumentReadOnceAsWhatItNames) {
    struct Case {
        const char* argument;
        qorv::PortKind kind;
        const char* detail;  // the host:port, the selector's vid:pid or location, the device
    };
    using qorv::PortKind;
    for (const Case& c : std::vector<Case>{
             {"3", PortKind::Number, "/dev/ttyS2"},
             {"com3", PortKind::Number, "/dev/ttyS2"},
             {"/dev/ttyUSB0", PortKind::Path, "/dev/ttyUSB0"},
             {"usb:0403:6001", PortKind::UsbSelector, "0403:6001"},
             {"USB:0403:6001", PortKind::UsbSelector, "0403:6001"},
             {"Usb@1-3:1.0", PortKind::UsbSelector, "@1-3:1.0"},
             // A selector that cannot be read picks nothing, not the adapter its start names.
             {"usb:0403:6001x", PortKind::UsbSelector, ":"},
             {"usb:04030000:6001", PortKind::UsbSelector, ":"},
             {"usb:0403", PortKind::UsbSelector, ":"},
             {"rfc2217://127.0.0.1:2217", PortKind::Server, "127.0.0.1:2217"},
             {"socket://[::1]:65535", PortKind::Server, "::1:65535"},
             // Ports 1 to 65535, decimal digits only: no wrapping, no sign, no space, no name.
             {"rfc2217://127.0.0.1:65536", PortKind::Server, ":0"},
             {"rfc2217://127.0.0.1:67753", PortKind::Server, ":0"},
             {"rfc2217://127.0.0.1: 2217", PortKind::Server, ":0"},
             {"rfc2217://127.0.0.1:+2217", PortKind::Server, ":0"},
             {"rfc2217://127.0.0.1:http", PortKind::Server, ":0"},
             {"rfc2217://127.0.0.1:0", PortKind::Server, ":0"},
             {"rfc2217://:2217", PortKind::Server, ":0"}}) {
        const qorv::PortSpec port = qorv::parsePort(c.argument);
        EXPECT_EQ(port.kind, c.kind) << c.argument;
        EXPECT_STREQ(port.argument, c.argument);
        const std::string detail =
            c.kind == PortKind::Server ? std::string(port.tcpPort == 0 ? "" : port.host) + ":" +
                                             std::to_string(port.tcpPort)
            : c.kind == PortKind::UsbSelector
                ? (port.usb.byLocation ? "@" + std::string(port.usb.location)
                                       : std::string(port.usb.vid) + ":" + port.usb.pid)
                : std::string(port.device);
        EXPECT_EQ(detail, c.detail) << c.argument;
    }
    // End to end: a port number past 65535 reaches no server, and a selector in capitals is one.
    for (const auto& [port, err] : std::vector<std::pair<std::string, std::string>>{
             {"rfc2217://127.0.0.1:65536", "not a device server's address"},
             {"USB:DEAD:BEEF",
              "QorvWriter: USB:DEAD:BEEF picks none of the serial ports present"}}) {
        const RunResult run = runProgram({QORVWRITER_PATH, "/tmp/unused.qorv", port});
        EXPECT_EQ(run.out, "Opening COM port...ERROR: Can not open COM port " + port + "\n");
        EXPECT_NE(run.err.find(err), std::string::npos) << run.err;
        EXPECT_EQ(run.status, 1);
    }
}

TEST(CommandLine, ConnectingToADeviceServerIsBoundedAsAWhole) {
    // A name whose three addresses take connections that never complete (each listener's queue
    // is full, so the system drops the handshake), and a name server that never answers: each
    // open fails within its bound, not a bound per address or the resolver's own time.
    if (geteuid() != 0 || runProgram({"unshare", "-m", "true"}).status != 0) {
        GTEST_SKIP() << "needs root and unshare to give the tool its own hosts and resolver";
    }
    TempDir dir;
    std::vector<int> listeners;
    std::vector<int> waiting;
    for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
        const int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(47219);
        inet_pton(AF_INET, address, &at.sin_addr);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << address;
        listen(listener, 0);
        listeners.push_back(listener);
        // Fill its queue: the next handshake is dropped.
        for (int i = 0; i < 2; ++i) {
            const int client = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at);
            waiting.push_back(client);
        }
    }
    const std::string hosts = "127.0.0.2 slow.bench\n127.0.0.3 slow.bench\n127.0.0.4 slow.bench\n";
    writeFile(dir.file("hosts"), Bytes(hosts.begin(), hosts.end()));
    // A name server on loopback that takes queries and never answers.
    const int silent = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in dns{};
    dns.sin_family = AF_INET;
    dns.sin_port = htons(53);
    inet_pton(AF_INET, "127.0.0.5", &dns.sin_addr);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&dns), sizeof dns), 0);
    const std::string resolver = "nameserver 127.0.0.5\noptions timeout:10 attempts:2\n";
    writeFile(dir.file("resolv.conf"), Bytes(resolver.begin(), resolver.end()));
    for (const auto& [port, err] : std::vector<std::pair<std::string, std::string>>{
             {"rfc2217://slow.bench:47219", "Connection timed out"},
             {"rfc2217://no-answer.bench:2217", "not resolved in time"}}) {
        const std::string script = "mount --bind " + dir.file("hosts") + " /etc/hosts && " +
                                   "mount --bind " + dir.file("resolv.conf") +
                                   " /etc/resolv.conf && exec \"$0\" \"$1\" \"$2\"";
        const RunResult run = runProgram(
            {"unshare", "-m", "sh", "-c", script, QORVWRITER_PATH, "/tmp/unused.qorv", port});
        EXPECT_EQ(run.out, "Opening COM port...ERROR: Can not open COM port " + port + "\n");
        EXPECT_NE(run.err.find(err), std::string::npos) << run.err;
        EXPECT_LT(run.seconds, 4.5) << port;
        EXPECT_GT(run.seconds, 2.5) << port;
    }
    for (int fd : listeners) {
        close(fd);
    }
    for (int fd : waiting) {
        close(fd);
    }
    close(silent);
}

TEST(CommandLine, TextFromOutsideCannotSteerTheTerminal) {
    // A device's strings (and names typed or found) with ESC, BEL, an OSC title, a screen
    // clear, a C1 CSI and a byte that is no UTF-8: shown, but harmless.
    const std::string hostile =
        "Adapter\x1b]0;owned\x07\x1b[2J\xc2\x9b"
        "1m\x9b\x7f \xc3\xa9";
    const std::string shown = qorv::visibleText(hostile);
    EXPECT_EQ(shown, "Adapter\\x1b]0;owned\\x07\\x1b[2J\\u009b1m\\x9b\\x7f \xc3\xa9");
    bool exact = true;
    EXPECT_EQ(qorv::jsonString("\xc2\x9b\x1b", &exact), "\"\\u009b\\u001b\"");
    EXPECT_TRUE(exact);
    qorv::PortsPresent present;
    qorv::PortPresent port;
    port.device = "/dev/ttyUSB9\x1b[2J";
    port.description = hostile;
    port.vid = "0403";
    port.pid = "6001";
    port.serial = "\x07\x1b]2;x\x07";
    port.location = "1-1";
    present.ports = {port};
    Capture err{STDERR_FILENO};
    err.begin();
    qorv::listPorts(present);
    qorv::tellSelection("usb:0403:6001", {true, present, present.ports});
    const std::string listed = err.end();
    for (const char control : {'\x1b', '\x07', '\x7f'}) {
        EXPECT_EQ(listed.find(control), std::string::npos) << listed;
    }
    EXPECT_EQ(listed.find("\xc2\x9b"), std::string::npos) << listed;
    EXPECT_NE(listed.find("usb:0403:6001 is /dev/ttyUSB9\\x1b[2J, Adapter\\x1b]0;"),
              std::string::npos)
        << listed;
}

TEST(CommandLine, RecordCauseAgreesWithTheExplanation) {
    // A late answer that began before the request and completes after it, then silence: the
    // explanation counts its bytes as a late answer, and so does the record's cause.
    PtyPair pty;
    qorv::DeviceChannel channel;
    ASSERT_EQ(channel.openPortPath(pty.path().c_str(), 115200, 4096, 1024), qorv::RESULT_OK);
    const Bytes ack{0xFA, 0xFF, 0x31, 0x00, 0xD0};
    pty.write(Bytes(ack.begin(), ack.begin() + 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::thread peer([&] {
        pty.read(5, 2000);
        pty.write(Bytes(ack.begin() + 3, ack.end()));
    });
    EXPECT_EQ(channel.sendCommand(0x30, 0, 0, 0xFF), qorv::RESULT_NO_REPLY);
    peer.join();
    EXPECT_EQ(channel.seen.earlyFrameBytesSinceRequest, 2u);
    const qorv::Cause cause = qorv::causeOf({qorv::Step::Probe, channel, qorv::RESULT_NO_REPLY});
    EXPECT_STREQ(qorv::causeKeyword(cause), "late_answer");

    // A line that never goes quiet: the request is not written, and both say so.
    std::atomic<bool> done{false};
    std::thread noise([&] {
        while (!done) {
            pty.write({0x00});
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(channel.sendCommand(0x30, 0, 0, 0xFF), qorv::RESULT_NO_REPLY);
    done = true;
    noise.join();
    const qorv::Failure failure{qorv::Step::Probe, channel, qorv::RESULT_NO_REPLY};
    const qorv::Cause quiet = qorv::causeOf(failure);
    EXPECT_STREQ(qorv::causeKeyword(quiet), "line_never_quiet");
    const qorv::PortSpec port = qorv::devicePort(pty.path().c_str());
    Capture err{STDERR_FILENO};
    err.begin();
    qorv::explainFailure(failure, quiet, {"settings.qorv", &port, 115200, nullptr});
    const std::string said = err.end();
    EXPECT_NE(said.find("probe: the line never went quiet: "), std::string::npos) << said;
    EXPECT_NE(said.find("so the request was not sent"), std::string::npos) << said;
}

TEST(CommandLine, PortsPresentOnLinuxWithTheirUsbIdentity) {
    // A system tree as Linux shows it: a phantom 8250 port (type 0), a real one, a virtual
    // terminal without a device; and USB adapters: one with a by-id name, a CDC device, a
    // four-port adapter, and two of one kind without serial numbers.
    TempDir root;
    const std::string usb = root.file("devices/usb1");
    // name, USB device (IDs, serial), interface; an empty device: no USB adapter.
    const std::vector<std::tuple<std::string, std::string, std::string, std::string>> ttys{
        {"ttyS0", "", "", ""},
        {"ttyS1", "", "", ""},
        {"ttyUSB0", "1-1", "0403 6001 A1", "1-1:1.0"},
        {"ttyACM0", "1-2", "2341 0043 7533", "1-2:1.0"},
        {"ttyUSB1", "1-3", "0403 6011 FT4", "1-3:1.0"},
        {"ttyUSB2", "1-3", "0403 6011 FT4", "1-3:1.1"},
        {"ttyUSB5", "1-4", "1a86 7523 -", "1-4:1.0"},
        {"ttyUSB6", "1-5", "1a86 7523 -", "1-5:1.0"}};
    for (const char* dir : {"sys", "sys/tty0", "dev", "by-id", "devices", "devices/usb1"}) {
        ASSERT_EQ(mkdir(root.file(dir).c_str(), 0755), 0) << dir;
    }
    for (const auto& [name, device, ids, interface] : ttys) {
        ASSERT_EQ(mkdir(root.file("sys/" + name).c_str(), 0755), 0);
        writeFile(root.file("dev/" + name), {});
        if (device.empty()) {
            ASSERT_EQ(mkdir(root.file("sys/" + name + "/device").c_str(), 0755), 0);
            writeFile(root.file("sys/" + name + "/type"), {uint8_t(name == "ttyS0" ? '0' : '4')});
            continue;
        }
        mkdir((usb + "/" + device).c_str(), 0755);
        std::istringstream fields(ids);
        std::string vid, pid, serial;
        fields >> vid >> pid >> serial;
        const auto put = [](const std::string& path, const std::string& text) {
            writeFile(path, Bytes(text.begin(), text.end()));
        };
        put(usb + "/" + device + "/idVendor", vid + "\n");
        put(usb + "/" + device + "/idProduct", pid + "\n");
        put(usb + "/" + device + "/product", "Adapter\n");
        if (serial != "-") {
            put(usb + "/" + device + "/serial", serial + "\n");
        }
        const std::string at = usb + "/" + device + "/" + interface;
        mkdir(at.c_str(), 0755);
        // A USB serial driver's port sits below its interface; a CDC device's tty on it.
        const std::string target = name.rfind("ttyACM", 0) == 0 ? at : at + "/" + name;
        mkdir(target.c_str(), 0755);
        ASSERT_EQ(symlink(target.c_str(), root.file("sys/" + name + "/device").c_str()), 0);
    }
    const std::string alias = root.file("by-id/usb-Bench_Adapter_42-if00-port0");
    ASSERT_EQ(symlink(root.file("dev/ttyUSB0").c_str(), alias.c_str()), 0);

    const std::vector<qorv::PortPresent> ports =
        qorv::findPorts(root.file("sys"), root.file("dev"), root.file("by-id"));
    // device, description, identity, the selector that picks it alone
    const std::vector<std::tuple<std::string, std::string, std::string, std::string>> expected{
        {"ttyACM0", "Adapter", "2341:0043 7533 1-2", "usb:2341:0043"},
        {"ttyS1", "", ":  ", ""},
        {"ttyUSB0", alias, "0403:6001 A1 1-1", "usb:0403:6001"},
        {"ttyUSB1", "Adapter", "0403:6011 FT4 1-3", "usb@1-3:1.0"},
        {"ttyUSB2", "Adapter", "0403:6011 FT4 1-3", "usb@1-3:1.1"},
        {"ttyUSB5", "Adapter", "1a86:7523  1-4", "usb@1-4"},
        {"ttyUSB6", "Adapter", "1a86:7523  1-5", "usb@1-5"}};
    ASSERT_EQ(ports.size(), expected.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        const auto& [name, description, identity, selector] = expected[i];
        const qorv::PortPresent& port = ports[i];
        EXPECT_EQ(port.device, root.file("dev/" + name));
        EXPECT_EQ(port.description, description) << name;
        EXPECT_EQ(port.vid + ":" + port.pid + " " + port.serial + " " + port.location, identity)
            << name;
        EXPECT_EQ(qorv::selectorFor(port, ports), selector) << name;
        for (const qorv::PortPresent& other : ports) {
            EXPECT_EQ(qorv::selects(selector, other), &other == &port && !selector.empty())
                << selector << " and " << other.device;
        }
    }
    // IDs in any letter case; a serial number picks among adapters of one kind; a location
    // picks all the ports of an adapter that has several.
    EXPECT_TRUE(qorv::selects("usb:0403:6001:A1", ports[2]));
    EXPECT_TRUE(qorv::selects("usb:1A86:7523", ports[5]));
    EXPECT_FALSE(qorv::selects("usb:0403:6001:a1", ports[2]));
    EXPECT_TRUE(qorv::selects("usb@1-3", ports[3]) && qorv::selects("usb@1-3", ports[4]));
    EXPECT_FALSE(qorv::selects("usb:0403", ports[2]));
    // A port opened through a link is the port listed: its identity goes to the record.
    EXPECT_TRUE(qorv::isListedPort(alias, ports[2]));
    EXPECT_FALSE(qorv::isListedPort(alias, ports[3]));
}

TEST(CommandLine, SelectorThatPicksNoPort) {
    const RunResult run = runProgram({QORVWRITER_PATH, "/tmp/unused.qorv", "usb:dead:beef"});
    EXPECT_EQ(run.out, "Opening COM port...ERROR: Can not open COM port usb:dead:beef\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(
        run.err.rfind("QorvWriter: usb:dead:beef picks none of the serial ports present\n", 0), 0u)
        << run.err;
}
#endif

TEST(CommandLine, PortHeldByAnotherProgram) {
    PtyPair pty;
    qorv::DeviceChannel holder;
    ASSERT_EQ(holder.openPortPath(pty.path().c_str(), 115200, 4096, 1024), qorv::RESULT_OK);
    const RunResult run = runProgram({QORVWRITER_PATH, "/tmp/unused.qorv", pty.path()});
    EXPECT_EQ(run.out, "Opening COM port...ERROR: Can not open COM port " + pty.path() + "\n");
    EXPECT_EQ(run.err.rfind("QorvWriter: " + pty.path() + ": Device or resource busy\n", 0), 0u);
    EXPECT_NE(run.err.find("another program holds the port"), std::string::npos);
    EXPECT_EQ(run.status, 1);

    // As another user, whom the exclusive mark keeps out: held, the port is busy; marked but
    // held by nobody (its holder was killed), the hint says so.
    if (geteuid() != 0 || !haveProgram("setpriv")) {
        GTEST_SKIP() << "needs root and setpriv to run the tool as another user";
    }
    ASSERT_EQ(chmod(pty.path().c_str(), 0666), 0);
    const std::vector<std::string> asNobody{"setpriv",        "--reuid=65534", "--regid=65534",
                                            "--clear-groups", QORVWRITER_PATH, "/tmp/unused.qorv",
                                            pty.path()};
    EXPECT_NE(runProgram(asNobody).err.find("another program holds the port"), std::string::npos);
    holder.close();
    ASSERT_EQ(ioctl(pty.slaveFd(), TIOCEXCL), 0);
    const RunResult marked = runProgram(asNobody);
    EXPECT_EQ(marked.status, 1);
    EXPECT_EQ(marked.err.rfind("QorvWriter: " + pty.path() + ": Device or resource busy\n", 0), 0u);
    EXPECT_NE(marked.err.find("the port is marked for exclusive use, but no program holds its "
                              "lock: a program that had it open may have been killed"),
              std::string::npos)
        << marked.err;
    ioctl(pty.slaveFd(), TIOCNXCL);
}

TEST(CommandLine, BaudRateRules) {
    RunResult run;
    EXPECT_EQ(speedAfterRun({}, &run), static_cast<speed_t>(B115200));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(speedAfterRun({"9600"}, &run), static_cast<speed_t>(B9600));
    EXPECT_EQ(run.status, 0);
    // With a fourth argument the third is ignored too.
    EXPECT_EQ(speedAfterRun({"9600", "x"}, &run), static_cast<speed_t>(B115200));
    EXPECT_EQ(run.status, 0);
    // "fast" is 0, which no line can run at.
    speedAfterRun({"fast"}, &run);
    EXPECT_EQ(run.out.rfind("Opening COM port...ERROR: Can not open COM port ", 0), 0u);
    EXPECT_NE(run.err.find("the baud rate must be a number, not \"fast\""), std::string::npos)
        << run.err;
    EXPECT_EQ(run.status, 1);
}
