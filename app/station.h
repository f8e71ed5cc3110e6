// qorv-station: stores one settings file in many devices, each port by a QorvWriter process of
// its own, at once (at most --jobs at a time) or, with --watch, each device as it arrives at its
// port. The parts that tell and decide are here; app/station_posix.cpp and station_win32.cpp
// start the processes and wait for them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "channel/ports.h"

namespace qorv {

struct StationOptions {
    std::string settings;
    std::vector<std::string> ports;  // as typed
    std::string baud;                // as typed, or ""
    int jobs = 0;                    // 0: every port at once
    std::string logs;                // a directory for each port's output, or ""
    bool watch = false;
    bool bell = false;
};

// Reads the command line; false with the reason (said with the usage) when it cannot be used.
bool parseStationArguments(const std::vector<std::string>& arguments, StationOptions* options,
                           std::string* reason);

// One port of a station run.
struct StationPort {
    std::string typed;   // the argument that named it
    std::string name;    // the port as shown: as typed, or as the system lists a selector's pick
    std::string device;  // what its store opens
    bool isAdapter = false;
    PortPresent adapter;         // what the system lists it as, where it does
    bool pickedNothing = false;  // a selector that picked no port: nothing is stored
    std::string logName;         // its output file's name
    enum class State { Waiting, Running, Stored, Failed, Interrupted } state = State::Waiting;
    std::string step;  // the step in progress, a record keyword
    int32_t block = 0;
    bool begun = false;
    bool over = false;
    int32_t startedMs = 0;
    int32_t endedMs = 0;
    std::string reason;  // a failure's one line
    // The fixture: stores and failures counted on this port, the arrival being stored.
    int32_t stored = 0;
    int32_t failed = 0;
    int32_t arrival = 0;
};

// The ports the arguments name: a selector stands for every port it picks (a row saying so when
// it picks none), a port named twice (by path, link or selector) is one.
std::vector<StationPort> portsNamed(const std::vector<std::string>& typed,
                                    const PortsPresent& present);

// One line of a store's progress feed read into its row.
void takeProgressLine(const std::string& line, StationPort* port);

// The table, fitted to `columns`: a heading, a row per port (on a fixture with its counts) and a
// summary.
std::vector<std::string> tableLines(const std::vector<StationPort>& ports, int32_t nowMs,
                                    int columns, bool fixture);
// "N stored, M failed" and each failed port with its reason.
std::vector<std::string> summaryLines(const std::vector<StationPort>& ports);
// The command that stores again on the failed ports alone; "" when none failed.
std::string retryCommand(const StationOptions& options, const std::vector<StationPort>& ports,
                         const PortsPresent& present);

int runStation(const std::vector<std::string>& arguments);

}  // namespace qorv
