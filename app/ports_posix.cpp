// The serial ports present on Linux (ttys in /sys/class/tty with a device behind them, named by
// /dev/serial/by-id where the system gives one) and on macOS (/dev/cu.*).
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/diagnosis.h"
#include "app/messages.h"

namespace qorv {

namespace {

std::vector<std::string> entriesOf(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

#ifdef __APPLE__
std::vector<std::pair<std::string, std::string>> portsPresent() {
    std::vector<std::pair<std::string, std::string>> ports;
    for (const std::string& name : entriesOf("/dev")) {
        if (name.rfind("cu.", 0) == 0) {
            ports.push_back({"/dev/" + name, ""});
        }
    }
    return ports;
}
#else
std::vector<std::pair<std::string, std::string>> portsPresent() {
    // Stable names by the adapter's identity, for the ports that have them.
    std::map<std::string, std::string> byId;
    for (const std::string& name : entriesOf("/dev/serial/by-id")) {
        char target[PATH_MAX];
        if (realpath(("/dev/serial/by-id/" + name).c_str(), target) != nullptr) {
            byId[target] = "/dev/serial/by-id/" + name;
        }
    }
    std::vector<std::pair<std::string, std::string>> ports;
    for (const std::string& name : entriesOf("/sys/class/tty")) {
        const std::string sys = "/sys/class/tty/" + name;
        struct stat info {};
        if (stat((sys + "/device").c_str(), &info) != 0) {
            continue;  // a virtual terminal or a pseudo-terminal
        }
        // The 8250 driver lists every port it could have; those without a UART have type 0.
        std::ifstream type(sys + "/type");
        int portType = -1;
        if (type >> portType && portType == 0) {
            continue;
        }
        const std::string device = "/dev/" + name;
        const auto alias = byId.find(device);
        ports.push_back({device, alias != byId.end() ? alias->second : ""});
    }
    return ports;
}
#endif

}  // namespace

void listPortsPresent() {
    const auto ports = portsPresent();
    if (ports.empty()) {
        tell("no serial ports found on this system");
        return;
    }
    tell("serial ports present:");
    for (const auto& port : ports) {
        if (port.second.empty()) {
            tell("  %s", port.first.c_str());
        } else {
            tell("  %s  %s", port.first.c_str(), port.second.c_str());
        }
    }
}

}  // namespace qorv
