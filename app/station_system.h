// What the station needs of the system: store processes started with a progress feed of their
// own and their output in a file, waited for together with the signals that end the station.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qorv {
namespace station_system {

// A store process.
struct Child {
    intptr_t process = 0;
    intptr_t feed = -1;              // the read end of its progress feed, or -1 once it has ended
    std::string partial;             // a progress line not yet whole
    std::vector<std::string> lines;  // whole lines read, not yet taken
    bool running = false;
};

// Signals and console events that end the station are caught from here on; standard output
// that closes does not end it.
void prepare();
// QorvWriter beside this program.
std::string writerPath();
// Starts `arguments` with `environment` ("NAME=value") added, its standard output and error
// both into `logPath`, and a progress feed to the station; false with the system's reason.
bool start(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
           const std::string& logPath, Child* child, std::string* reason);

// Wakes wait() from another thread.
void wakeUp();

enum class Wake { Timeout, Activity, Stop };
// Sleeps at most `ms` until a running child's feed has lines or ends, or the station is told
// to stop (Ctrl+C, SIGTERM).
Wake wait(const std::vector<Child*>& children, int32_t ms);
// Whether a child is gone, and its exit status (on POSIX 128 + the signal that ended it).
bool ended(Child* child, int* status);
// How a store's process that did not exit with 0 or 1 ended ("was ended by signal 9").
std::string howItEnded(int status);
// Asks a store to end as QorvWriter ends on a signal, or ends it outright.
void askToEnd(Child* child);
void endNow(Child* child);

// Whether standard output is a terminal that takes cursor movement, and its width.
bool terminal(int* columns);
// A fresh directory for logs, removed with `removeLogs` (with the files in it).
std::string temporaryDirectory();
void removeDirectory(const std::string& path);
// `name` made into a file name in `directory`.
std::string pathIn(const std::string& directory, const std::string& name);
bool makeDirectory(const std::string& path, std::string* reason);
// Opens a file (its name UTF-8) for reading bytes; null when it cannot be.
std::FILE* openToRead(const std::string& path);
// The same device under any of its names (a link, letter case on Windows).
std::string canonicalDevice(const std::string& device);
// An argument written for this system's shell.
std::string quoted(const std::string& argument);

}  // namespace station_system
}  // namespace qorv
