#include "app/station.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "app/station_system.h"
#include "channel/clock.h"
#include "channel/device_channel.h"
#include "protocol/frame.h"
#include "protocol/store_layout.h"
#include "qorv_version.h"
#include "report/messages.h"
#include "report/run_record.h"

namespace qorv {

namespace {

const char USAGE[] =
    "usage: qorv-station SETTINGS PORT... [--baud N] [--jobs N] [--logs DIR]\n"
    "       qorv-station --watch [--bell] SETTINGS PORT... [--baud N] [--logs DIR]\n"
    "Stores SETTINGS in the device on each PORT (anything QorvWriter takes; a USB selector is\n"
    "every adapter it picks), each by a QorvWriter of its own, all at once (at most N with\n"
    "--jobs). --watch stores each device as it arrives at its port, until stopped.\n";

// The station's own lines on standard error.
void note(const std::string& text) {
    const std::string line = "qorv-station: " + visibleText(text) + "\n";
    writeConsole(true, line.data(), line.size());
}

void show(const std::string& text) {
    writeConsole(false, text.data(), text.size());
}

bool allDigits(const std::string& text) {
    return !text.empty() && text.size() < 10 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

// The value of a "name":"text" or "name":number field of one of the feed's lines.
bool jsonText(const std::string& line, const char* name, std::string* value) {
    const std::string key = std::string("\"") + name + "\":\"";
    size_t at = line.find(key);
    if (at == std::string::npos) {
        return false;
    }
    value->clear();
    for (at += key.size(); at < line.size() && line[at] != '"'; ++at) {
        if (line[at] != '\\' || at + 1 >= line.size()) {
            *value += line[at];
            continue;
        }
        const char escaped = line[++at];
        if (escaped == 'u' && at + 4 < line.size()) {
            // Only control characters are escaped so: shown as a space.
            *value += ' ';
            at += 4;
        } else {
            *value += escaped == 'n' ? ' ' : escaped;
        }
    }
    return true;
}

long jsonNumber(const std::string& line, const char* name) {
    const std::string key = std::string("\"") + name + "\":";
    const size_t at = line.find(key);
    return at == std::string::npos ? 0 : std::strtol(line.c_str() + at + key.size(), nullptr, 10);
}

// `text` cut or padded to `width` characters (UTF-8 sequences kept whole).
std::string fitted(const std::string& text, size_t width) {
    std::string out;
    size_t shown = 0;
    for (size_t i = 0; i < text.size() && shown < width; ++shown) {
        size_t length = 1;
        const auto lead = static_cast<unsigned char>(text[i]);
        length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        out.append(text, i, length);
        i += length;
    }
    return out + std::string(width - shown, ' ');
}

std::string seconds(int32_t ms) {
    char text[16];
    std::snprintf(text, sizeof text, "%ld.%ld s", static_cast<long>(ms / 1000),
                  static_cast<long>(ms % 1000 / 100));
    return text;
}

std::string resultOf(const StationPort& port) {
    switch (port.state) {
        case StationPort::State::Waiting:
            return port.arrival > 0 ? "waiting for the next device" : "waiting";
        case StationPort::State::Running:
            return "storing";
        case StationPort::State::Stored:
            return "stored";
        case StationPort::State::Interrupted:
            return "interrupted";
        case StationPort::State::Failed:
        default:
            return "FAILED: " + port.reason;
    }
}

// The lines of a store's output file, without the CR that Windows' text mode ends them with.
std::vector<std::string> logLines(const std::string& path) {
    std::vector<std::string> lines;
    std::FILE* file = station_system::openToRead(path);
    if (file == nullptr) {
        return lines;
    }
    std::string text;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        text.append(buffer, got);
    }
    std::fclose(file);
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(text.substr(at, end - at - (end > at && text[end - 1] == '\r' ? 1 : 0)));
    }
    return lines;
}

// The name a port's log file has: its name with what a file name cannot hold made '_'.
std::string logNameOf(const std::string& device) {
    std::string name = device;
    for (const char* prefix : {"/dev/", "\\\\.\\"}) {
        if (name.rfind(prefix, 0) == 0) {
            name = name.substr(std::string(prefix).size());
        }
    }
    for (char& c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.')) {
            c = '_';
        }
    }
    return name + ".log";
}

// Reads the settings file once, as QorvWriter does, before any port is touched; false (said as
// QorvWriter says it) when it holds nothing that can be stored.
bool settingsUsable(const std::string& path) {
    DeviceChannel file;
    if (file.openFile(path.c_str()) != RESULT_OK) {
        show("Opening Qorv file: " + path + "...ERROR: Can not open file " + path + "\n");
        char reason[256];
        file.describeOsError(reason, sizeof reason);
        note(path + ": " + reason);
        return false;
    }
    uint8_t settings[MAX_DATA_LENGTH];
    uint16_t length = 0;
    const ResultCode found = file.waitForMessage(MID_QORV_DATA, settings, &length, nullptr);
    if (found != RESULT_OK || length < SETTINGS_DATA_SIZE) {
        show("Reading Qorv data from file...ERROR: file does not contain valid Qorv data\n");
        note(path + ": no settings frame of " + std::to_string(SETTINGS_DATA_SIZE) +
             " bytes or more in it");
        return false;
    }
    return true;
}

// One value for the records of one station run: when it started, and which process ran it.
std::string batchId() {
    char text[40] = "";
    std::tm parts{};
    if (utcTime(std::time(nullptr), &parts)) {
        std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    }
    return std::string(text) + "-" + std::to_string(clock::nowUs() % 1000000);
}

}  // namespace

bool parseStationArguments(const std::vector<std::string>& arguments, StationOptions* options,
                           std::string* reason) {
    std::vector<std::string> plain;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool valued = argument == "--baud" || argument == "--jobs" || argument == "--logs";
        if (valued && i + 1 >= arguments.size()) {
            *reason = argument + " takes a value";
            return false;
        }
        if (argument == "--baud") {
            options->baud = arguments[++i];
            if (!allDigits(options->baud) || std::atol(options->baud.c_str()) == 0) {
                *reason = "the baud rate is a number of 1 or more, not " + options->baud;
                return false;
            }
        } else if (argument == "--jobs") {
            const std::string jobs = arguments[++i];
            options->jobs = allDigits(jobs) ? std::atoi(jobs.c_str()) : 0;
            if (options->jobs < 1) {
                *reason = "--jobs takes a number of 1 or more, not " + jobs;
                return false;
            }
        } else if (argument == "--logs") {
            options->logs = arguments[++i];
        } else if (argument == "--watch") {
            options->watch = true;
        } else if (argument == "--bell") {
            options->bell = true;
        } else if (argument.size() > 1 && argument[0] == '-' && argument.rfind("--", 0) == 0) {
            *reason = "unknown option " + argument;
            return false;
        } else {
            plain.push_back(argument);
        }
    }
    if (plain.size() < 2) {
        *reason = "a settings file and at least one port are needed";
        return false;
    }
    options->settings = plain[0];
    options->ports.assign(plain.begin() + 1, plain.end());
    return true;
}

std::vector<StationPort> portsNamed(const std::vector<std::string>& typed,
                                    const PortsPresent& present) {
    std::vector<StationPort> ports;
    std::map<std::string, bool> seen;
    const auto add = [&](const std::string& argument, const std::string& name,
                         const std::string& device) {
        const std::string same = station_system::canonicalDevice(device);
        if (seen[same]) {
            return;
        }
        seen[same] = true;
        StationPort port;
        port.typed = argument;
        port.name = name;
        port.device = device;
        for (const PortPresent& listed : present.ports) {
            if (isListedPort(device, listed) || isListedPort(same, listed)) {
                port.adapter = listed;
                port.isAdapter = true;
            }
        }
        port.logName = logNameOf(device);
        ports.push_back(port);
    };
    for (const std::string& argument : typed) {
        const PortSpec parsed = parsePort(argument.c_str());
        if (parsed.kind != PortKind::UsbSelector) {
            add(argument, argument,
                parsed.kind == PortKind::Server ? argument : std::string(parsed.device));
            continue;
        }
        bool picked = false;
        for (const PortPresent& listed : present.ports) {
            if (selects(parsed.usb, listed)) {
                add(argument, listed.device, deviceToOpen(listed));
                picked = true;
            }
        }
        if (!picked) {
            StationPort none;
            none.typed = argument;
            none.name = argument;
            none.device = argument;
            none.pickedNothing = true;
            none.state = StationPort::State::Failed;
            none.reason = "no port present matches it";
            ports.push_back(none);
        }
    }
    return ports;
}

void takeProgressLine(const std::string& line, StationPort* port) {
    std::string value;
    if (jsonText(line, "end", &value)) {
        if (jsonText(line, "reason", &value)) {
            port->reason = value;
        }
        return;
    }
    if (jsonText(line, "step", &value)) {
        port->step = value;
        port->block = static_cast<int32_t>(jsonNumber(line, "block"));
    }
}

namespace {

// The fixture's counts in all: "in all: 5 stored, 1 failed".
std::string fixtureTotals(const std::vector<StationPort>& ports) {
    int32_t stored = 0;
    int32_t failed = 0;
    for (const StationPort& port : ports) {
        stored += port.stored;
        failed += port.failed;
    }
    return "in all: " + std::to_string(stored) + " stored, " + std::to_string(failed) + " failed";
}

}  // namespace

std::vector<std::string> tableLines(const std::vector<StationPort>& ports, int32_t nowMs,
                                    int columns, bool fixture) {
    const size_t width = static_cast<size_t>(std::max(columns, 40) - 1);
    std::vector<std::string> lines;
    // On a fixture the step's column holds the port's counts: stored/failed.
    const auto row = [&](const std::string& port, const std::string& serial,
                         const std::string& step, const std::string& block, const std::string& time,
                         const std::string& result) {
        const std::string line = fitted(port, 20) + " " + fitted(serial, 10) + " " +
                                 fitted(step, 8) + " " + fitted(block, 5) + " " + fitted(time, 7) +
                                 " " + result;
        // Names and serial numbers come from outside: they cannot steer the terminal.
        lines.push_back(fitted(visibleText(line), width));
    };
    row("PORT", "SERIAL", fixture ? "OK/FAIL" : "STEP", "BLOCK", "TIME", "RESULT");
    size_t counts[5] = {};
    for (const StationPort& port : ports) {
        ++counts[static_cast<size_t>(port.state)];
        const bool began = port.begun;
        const int32_t ms = !began ? 0 : (port.over ? port.endedMs : nowMs) - port.startedMs;
        row(port.name, port.adapter.serial,
            fixture ? std::to_string(port.stored) + "/" + std::to_string(port.failed)
            : began ? port.step
                    : "",
            port.block > 0 ? std::to_string(port.block) + "/16" : "", began ? seconds(ms) : "",
            resultOf(port));
    }
    const std::string summary =
        fixture
            ? std::to_string(ports.size()) + " ports, " + fixtureTotals(ports)
            : std::to_string(ports.size()) + " ports: " + std::to_string(counts[2]) + " stored, " +
                  std::to_string(counts[3]) + " failed, " + std::to_string(counts[1]) +
                  " storing, " + std::to_string(counts[0]) + " waiting" +
                  (counts[4] > 0 ? ", " + std::to_string(counts[4]) + " interrupted" : "");
    lines.push_back(fitted(summary, width));
    return lines;
}

std::vector<std::string> summaryLines(const std::vector<StationPort>& ports) {
    size_t stored = 0;
    std::vector<std::string> lines;
    for (const StationPort& port : ports) {
        if (port.state == StationPort::State::Stored) {
            ++stored;
        } else {
            lines.push_back(visibleText("  " + port.name + ": " + resultOf(port)));
        }
    }
    lines.insert(lines.begin(), std::to_string(stored) + " stored, " +
                                    std::to_string(ports.size() - stored) + " failed");
    return lines;
}

std::string retryCommand(const StationOptions& options, const std::vector<StationPort>& ports,
                         const PortsPresent& present) {
    std::string command;
    for (const StationPort& port : ports) {
        if (port.state == StationPort::State::Stored) {
            continue;
        }
        // An adapter by what it is, so that the retry finds it where it is plugged in then.
        const std::string alone = port.isAdapter ? selectorFor(port.adapter, present.ports) : "";
        command += " " + station_system::quoted(!alone.empty() ? alone : port.name);
    }
    if (command.empty()) {
        return "";
    }
    return "qorv-station " + station_system::quoted(options.settings) + command +
           (options.baud.empty() ? "" : " --baud " + options.baud) +
           (options.logs.empty() ? "" : " --logs " + station_system::quoted(options.logs));
}

namespace {

// How often a port on the fixture is probed while it waits for a device or for it to leave, how
// long an answer is waited for, and how long without one makes a device gone.
constexpr int32_t PROBE_PERIOD_MS = 200;
constexpr int16_t PROBE_WAIT_MS = 150;
// A port being probed runs at QorvWriter's rate unless one is given, with the driver's queues
// QorvWriter asks for.
constexpr int32_t PROBE_DEFAULT_BAUD = 115200;
constexpr int32_t PROBE_IN_QUEUE = 4096;
constexpr int32_t PROBE_OUT_QUEUE = 1024;
constexpr int32_t GONE_AFTER_MS = 1000;
// How often the ports present are listed again for selectors on the fixture.
constexpr int32_t LISTING_PERIOD_MS = 500;

// Opens and closes of ports are made one at a time: each takes a line's room.
std::mutex opening;

// A port on the fixture: a thread of its own probes it a few times a second while no store runs
// on it (sending nothing but the probe), to see a device arrive and, after its store, leave. The
// port is kept open between probes, and closed before its store.
class Watcher {
  public:
    Watcher(std::string device, int32_t baudRate)
        : device(std::move(device)), baudRate(baudRate), thread([this] { watch(); }) {}
    ~Watcher() {
        {
            std::lock_guard<std::mutex> held(lock);
            stopping = true;
        }
        changed.notify_all();
        thread.join();
    }
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // Whether a device has arrived since the last call: its port is then closed, for its store.
    bool takeArrival() {
        std::lock_guard<std::mutex> held(lock);
        const bool was = arrived;
        arrived = false;
        return was;
    }
    // The store has ended: the port is watched for the device to leave.
    void storeEnded() {
        {
            std::lock_guard<std::mutex> held(lock);
            phase = Phase::Leaving;
            lastAnswerMs = clock::nowMs();
        }
        changed.notify_all();
    }
    // Whether the device is still there after its store.
    bool waitingForLeave() {
        std::lock_guard<std::mutex> held(lock);
        return phase == Phase::Leaving;
    }

  private:
    enum class Phase { Arriving, Storing, Leaving };

    void watch() {
        DeviceChannel port;
        std::unique_lock<std::mutex> held(lock);
        while (!stopping) {
            if (phase == Phase::Storing) {
                changed.wait(held);
                continue;
            }
            const Phase now = phase;
            const int32_t probedMs = clock::nowMs();
            held.unlock();
            const bool answered = probe(&port);
            held.lock();
            if (now == Phase::Arriving && answered && phase == Phase::Arriving) {
                shut(&port);
                arrived = true;
                phase = Phase::Storing;
                station_system::wakeUp();
                continue;
            }
            if (now == Phase::Leaving && phase == Phase::Leaving) {
                lastAnswerMs = answered ? probedMs : lastAnswerMs;
                if (!port.isOpen() || clock::nowMs() - lastAnswerMs >= GONE_AFTER_MS) {
                    phase = Phase::Arriving;
                    station_system::wakeUp();
                }
            }
            changed.wait_for(held, std::chrono::milliseconds(
                                       clock::msLeft(probedMs + PROBE_PERIOD_MS, PROBE_PERIOD_MS)));
        }
        held.unlock();
        shut(&port);
    }

    // One probe, the port opened for it if it is not; whether the device answered.
    bool probe(DeviceChannel* port) {
        if (!port->isOpen()) {
            std::lock_guard<std::mutex> one(opening);
            const PortSpec parsed = parsePort(device.c_str());
            if (port->openPort(parsed, baudRate, PROBE_IN_QUEUE, PROBE_OUT_QUEUE) != RESULT_OK) {
                port->close();
                return false;
            }
        }
        port->timeoutMs = PROBE_WAIT_MS;
        const bool answered = port->sendCommand(MID_PROBE, 0, 0, BID_DEFAULT) == RESULT_OK;
        if (port->ioError() != 0) {
            // A port that went away (an adapter pulled out) is opened again when it is back.
            shut(port);
        }
        return answered;
    }

    void shut(DeviceChannel* port) {
        std::lock_guard<std::mutex> one(opening);
        port->close();
    }

    const std::string device;
    const int32_t baudRate;
    std::mutex lock;
    std::condition_variable changed;
    Phase phase = Phase::Arriving;
    bool arrived = false;
    bool stopping = false;
    int32_t lastAnswerMs = 0;
    std::thread thread;
};

// Five rows of block letters for PASS and FAIL, readable from a step away.
std::vector<std::string> banner(const std::string& word) {
    static const std::map<char, std::vector<const char*>> letters{
        {'P', {"████ ", "█   █", "████ ", "█    ", "█    "}},
        {'A', {" ███ ", "█   █", "█████", "█   █", "█   █"}},
        {'S', {" ████", "█    ", " ███ ", "    █", "████ "}},
        {'F', {"█████", "█    ", "████ ", "█    ", "█    "}},
        {'I', {" ███ ", "  █  ", "  █  ", "  █  ", " ███ "}},
        {'L', {"█    ", "█    ", "█    ", "█    ", "█████"}}};
    std::vector<std::string> rows(5);
    for (char c : word) {
        const auto found = letters.find(c);
        for (size_t row = 0; row < rows.size() && found != letters.end(); ++row) {
            rows[row] += std::string(found->second[row]) + "  ";
        }
    }
    return rows;
}

// The ports of one station run and their stores.
class Station {
  public:
    Station(const StationOptions& options, std::vector<StationPort> ports, PortsPresent present)
        : options(options), ports(std::move(ports)), present(std::move(present)) {}

    int run() {
        logs = options.logs;
        if (logs.empty()) {
            logs = station_system::temporaryDirectory();
            ownLogs = true;
        }
        std::string reason;
        if (logs.empty() || !station_system::makeDirectory(logs, &reason)) {
            note("cannot keep the stores' output in " + logs + " (" + reason + ")");
            return 1;
        }
        onTerminal = station_system::terminal(&columns);
        batch = batchId();
        if (options.watch) {
            for (size_t i = 0; i < ports.size(); ++i) {
                watchPort(i);
            }
        }
        children.resize(ports.size());
        const int jobs = options.jobs > 0 ? options.jobs : 1 << 30;
        int32_t stopAskedMs = 0;
        int32_t listedMs = clock::nowMs();
        for (;;) {
            int running = 0;
            for (const StationPort& port : ports) {
                running += port.state == StationPort::State::Running ? 1 : 0;
            }
            for (size_t i = 0; i < ports.size() && running < jobs && stopAskedMs == 0; ++i) {
                if (readyToStore(i)) {
                    startStore(i);
                    ++running;
                }
            }
            draw();
            if (running == 0 && (!options.watch || stopAskedMs != 0)) {
                break;
            }
            std::vector<station_system::Child*> active;
            for (auto& child : children) {
                active.push_back(&child);
            }
            const station_system::Wake woke =
                station_system::wait(active, onTerminal || options.watch ? 100 : 1000);
            if (woke == station_system::Wake::Stop && stopAskedMs == 0) {
                stopAskedMs = clock::nowMs();
                watchers.clear();
                for (size_t i = 0; i < ports.size(); ++i) {
                    if (ports[i].state == StationPort::State::Running) {
                        station_system::askToEnd(&children[i]);
                    }
                }
            }
            if (stopAskedMs != 0 && clock::nowMs() - stopAskedMs > 3000) {
                // A store that does not end when asked (a driver that holds it) is ended.
                for (size_t i = 0; i < ports.size(); ++i) {
                    if (ports[i].state == StationPort::State::Running) {
                        station_system::endNow(&children[i]);
                    }
                }
            }
            for (size_t i = 0; i < ports.size(); ++i) {
                takeNews(i, stopAskedMs != 0);
            }
            if (options.watch && stopAskedMs == 0 &&
                clock::nowMs() - listedMs >= LISTING_PERIOD_MS) {
                listedMs = clock::nowMs();
                watchNewPorts();
            }
        }
        if (stopAskedMs != 0) {
            for (StationPort& port : ports) {
                if (port.state == StationPort::State::Waiting && !options.watch) {
                    port.state = StationPort::State::Interrupted;
                }
            }
        }
        draw(true);
        return options.watch ? finishWatch() : finish();
    }

  private:
    bool readyToStore(size_t i) {
        StationPort& port = ports[i];
        if (!options.watch) {
            return port.state == StationPort::State::Waiting;
        }
        if (i >= watchers.size() || watchers[i] == nullptr) {
            return false;
        }
        if (port.state != StationPort::State::Running && !watchers[i]->waitingForLeave() &&
            port.state != StationPort::State::Waiting) {
            // The device stored last has left: the port waits for the next.
            port.state = StationPort::State::Waiting;
        }
        if (!watchers[i]->takeArrival()) {
            return false;
        }
        ++port.arrival;
        return true;
    }

    void watchPort(size_t i) {
        watchers.resize(ports.size());
        const int32_t baud =
            options.baud.empty() ? PROBE_DEFAULT_BAUD : std::atoi(options.baud.c_str());
        watchers[i] = std::make_unique<Watcher>(ports[i].device, baud);
    }

    // Ports that a selector picks and that have come since the last listing join the fixture.
    void watchNewPorts() {
        bool selectors = false;
        for (const std::string& typed : options.ports) {
            selectors = selectors || parsePort(typed.c_str()).kind == PortKind::UsbSelector;
        }
        if (!selectors) {
            return;
        }
        present = portsPresent();
        for (const StationPort& port : portsNamed(options.ports, present)) {
            bool seen = false;
            for (const StationPort& had : ports) {
                seen = seen || station_system::canonicalDevice(had.device) ==
                                   station_system::canonicalDevice(port.device);
            }
            if (!seen && !port.pickedNothing) {
                ports.push_back(port);
                children.resize(ports.size());
                watchPort(ports.size() - 1);
            }
        }
    }

    void startStore(size_t i) {
        StationPort& port = ports[i];
        std::vector<std::string> command{station_system::writerPath(), options.settings,
                                         port.device};
        if (!options.baud.empty()) {
            command.push_back(options.baud);
        }
        std::vector<std::string> environment{"QORV_BATCH=" + batch};
        if (port.arrival > 0) {
            environment.push_back("QORV_ARRIVAL=" + std::to_string(port.arrival));
        }
        port.step = "start";
        port.block = 0;
        port.reason.clear();
        port.begun = true;
        port.over = false;
        port.startedMs = clock::nowMs();
        std::string reason;
        children[i] = station_system::Child{};
        if (port.arrival > 0) {
            // On the fixture every store keeps its own output.
            const std::string base = port.logName.substr(0, port.logName.rfind(".log"));
            port.logName = base.substr(0, base.rfind(".arrival")) + ".arrival" +
                           std::to_string(port.arrival) + ".log";
        }
        if (!station_system::start(command, environment, station_system::pathIn(logs, port.logName),
                                   &children[i], &reason)) {
            port.reason = "the store could not be started (" + reason + ")";
            ended(i, StationPort::State::Failed);
            return;
        }
        port.state = StationPort::State::Running;
        changed = true;
    }

    // What a running store's feed says, and its end.
    void takeNews(size_t i, bool stopping) {
        StationPort& port = ports[i];
        station_system::Child& child = children[i];
        for (const std::string& line : child.lines) {
            takeProgressLine(line, &port);
        }
        child.lines.clear();
        int status = 0;
        if (port.state != StationPort::State::Running || !station_system::ended(&child, &status)) {
            return;
        }
        if (status == 0) {
            ended(i, StationPort::State::Stored);
            return;
        }
        if (status != 1 && stopping) {
            ended(i, StationPort::State::Interrupted);
            return;
        }
        if (status != 1) {
            port.reason = "the store's process " + station_system::howItEnded(status);
        } else if (port.reason.empty()) {
            port.reason = lastToldLine(port);
        }
        ended(i, StationPort::State::Failed);
    }

    void ended(size_t i, StationPort::State state) {
        StationPort& port = ports[i];
        port.state = state;
        changed = true;
        port.over = true;
        port.endedMs = clock::nowMs();
        port.stored += state == StationPort::State::Stored ? 1 : 0;
        port.failed += state == StationPort::State::Failed ? 1 : 0;
        if (options.watch && i < watchers.size() && watchers[i] != nullptr) {
            watchers[i]->storeEnded();
            latest = i;
            if (state == StationPort::State::Failed && options.bell) {
                show("\a");
            }
        }
        if (!onTerminal) {
            const std::string arrival =
                options.watch ? "arrival " + std::to_string(port.arrival) + ": " : "";
            const std::string verdict = !options.watch ? resultOf(port)
                                        : state == StationPort::State::Stored
                                            ? "PASS"
                                            : "FAIL: " + port.reason;
            show(visibleText(port.name + ": " + arrival + verdict) + " (" +
                 seconds(port.endedMs - port.startedMs) + ")\n");
        }
    }

    // The last line QorvWriter told on standard error, for a failure its feed did not give.
    std::string lastToldLine(const StationPort& port) const {
        std::string last = "see its output";
        for (const std::string& line : logLines(station_system::pathIn(logs, port.logName))) {
            if (line.rfind("QorvWriter: ", 0) == 0) {
                last = line.substr(12);
            }
        }
        return last;
    }

    void draw(bool force = false) {
        if (!onTerminal) {
            return;
        }
        // At most twenty frames a second; a store that starts or ends is shown at once.
        const int32_t now = clock::nowMs();
        if (!force && !changed && now - drawnMs < 50) {
            return;
        }
        drawnMs = now;
        changed = false;
        // A terminal resized: the table is drawn anew below what it was, since the lines drawn
        // at the old width may have wrapped.
        int width = columns;
        if (station_system::terminal(&width) && width != columns) {
            columns = width;
            drawnLines = 0;
            lastFrame.clear();
        }
        std::vector<std::string> lines = tableLines(ports, now, columns, options.watch);
        if (options.watch) {
            if (latest < ports.size() && ports[latest].over) {
                const bool passed = ports[latest].state == StationPort::State::Stored;
                lines.push_back(fitted(visibleText(ports[latest].name) + ", arrival " +
                                           std::to_string(ports[latest].arrival) + ":",
                                       static_cast<size_t>(columns - 1)));
                for (const std::string& row : banner(passed ? "PASS" : "FAIL")) {
                    lines.push_back((passed ? "\x1b[32m" : "\x1b[31m") + row + "\x1b[0m");
                }
            }
        }
        // The whole table in one write, over the one before it: no line is ever blank on screen.
        std::string frame = drawnLines > 0 ? "\r\x1b[" + std::to_string(drawnLines) + "A" : "";
        frame += "\x1b[?25l";
        for (const std::string& line : lines) {
            frame += line + "\x1b[K\n";
        }
        // Lines left from a longer frame before are cleared.
        frame += "\x1b[J\x1b[?25h";
        if (frame != lastFrame) {
            show(frame);
            lastFrame = frame;
        }
        drawnLines = lines.size();
    }

    int finishWatch() {
        std::string text;
        bool clean = true;
        for (const StationPort& port : ports) {
            text +=
                "  " + visibleText(port.name) + ": " + std::to_string(port.stored) + " stored, " +
                std::to_string(port.failed) + " failed" +
                (port.state == StationPort::State::Interrupted ? ", the last interrupted" : "") +
                "\n";
            clean = clean && port.failed == 0 && port.state != StationPort::State::Interrupted;
        }
        show(fixtureTotals(ports) + "\n" + text);
        if (ownLogs) {
            station_system::removeDirectory(logs);
        }
        return clean ? 0 : 1;
    }

    int finish() {
        std::string text;
        for (const std::string& line : summaryLines(ports)) {
            text += line + "\n";
        }
        bool allStored = true;
        for (const StationPort& port : ports) {
            if (port.state == StationPort::State::Stored) {
                continue;
            }
            allStored = false;
            if (!port.begun) {
                continue;
            }
            // What the failed store said, each line after its port.
            for (const std::string& line : logLines(station_system::pathIn(logs, port.logName))) {
                if (!line.empty()) {
                    text += port.name + "| " + visibleText(line) + "\n";
                }
            }
        }
        const std::string retry = retryCommand(options, ports, present);
        if (!retry.empty()) {
            text += "To store again on the failed ports alone:\n  " + visibleText(retry) + "\n";
        }
        show(text);
        if (ownLogs) {
            station_system::removeDirectory(logs);
        }
        return allStored ? 0 : 1;
    }

    const StationOptions& options;
    std::vector<StationPort> ports;
    PortsPresent present;
    std::vector<station_system::Child> children;
    std::vector<std::unique_ptr<Watcher>> watchers;
    std::string logs;
    bool ownLogs = false;
    bool onTerminal = false;
    int columns = 80;
    size_t drawnLines = 0;
    int32_t drawnMs = 0;
    bool changed = false;
    std::string lastFrame;
    size_t latest = static_cast<size_t>(-1);
    std::string batch;
};

}  // namespace

int runStation(const std::vector<std::string>& arguments) {
    station_system::prepare();
    StationOptions options;
    std::string reason;
    if (!parseStationArguments(arguments, &options, &reason)) {
        note(reason);
        writeConsole(true, USAGE, sizeof USAGE - 1);
        return 1;
    }
    if (!settingsUsable(options.settings)) {
        return 1;
    }
    PortsPresent present = portsPresent();
    std::vector<StationPort> ports = portsNamed(options.ports, present);
    if (options.watch) {
        // On the fixture a selector's ports join as they come.
        ports.erase(std::remove_if(ports.begin(), ports.end(),
                                   [](const StationPort& port) { return port.pickedNothing; }),
                    ports.end());
    }
    Station station(options, std::move(ports), std::move(present));
    return station.run();
}

}  // namespace qorv
