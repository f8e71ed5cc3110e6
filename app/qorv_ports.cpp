// qorv-ports: the serial ports present, each with what it is and the selector that picks it
// alone: one port a line for people, or with --json one JSON object a line for scripts (the
// fields are described in docs/run-record.md).
#include <cstdio>
#include <cstring>
#include <string>

#include "channel/ports.h"
#include "report/run_record.h"

namespace {

constexpr int FORMAT = 1;

std::string field(const char* name, const std::string& value) {
    bool exact = true;
    return std::string(",\"") + name +
           "\":" + (value.empty() ? "null" : qorv::jsonString(value, &exact));
}

}  // namespace

int main(int argc, char** argv) {
    const bool json = argc == 2 && std::strcmp(argv[1], "--json") == 0;
    if (argc > 2 || (argc == 2 && !json)) {
        std::fprintf(stderr, "usage: qorv-ports [--json]\n");
        return 2;
    }
    const qorv::PortsPresent present = qorv::portsPresent();
    if (!present.unreadable.empty()) {
        std::fprintf(stderr, "qorv-ports: the list of serial ports could not be read (%s)\n",
                     present.unreadable.c_str());
        return 1;
    }
    for (const qorv::PortPresent& port : present.ports) {
        const std::string selector = qorv::selectorFor(port, present.ports);
        // The port as the tool takes it, and the device it opens.
        const std::string device = qorv::deviceToOpen(port);
        if (json) {
            const std::string line =
                "{\"format\":" + std::to_string(FORMAT) + field("port", port.device) +
                field("device", device) + field("description", port.description) +
                field("vid", port.vid) + field("pid", port.pid) + field("serial", port.serial) +
                field("location", port.location) + field("selector", selector) + "}\n";
            std::fputs(line.c_str(), stdout);
            continue;
        }
        std::string line = port.device;
        line += port.description.empty() ? "" : "  " + port.description;
        if (!port.vid.empty()) {
            line += "  " + port.vid + ":" + port.pid;
            line += port.serial.empty() ? "" : " serial " + port.serial;
            line += port.location.empty() ? "" : " at " + port.location;
            line += "  " + selector;
        }
        // A device names itself: what it says cannot steer the terminal.
        std::printf("%s\n", qorv::visibleText(line).c_str());
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
