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

#include "channel/ports.h"

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

}  // namespace

#ifndef __APPLE__
std::vector<PortPresent> findPorts(const std::string& sysClassTty, const std::string& devDir,
                                   const std::string& byIdDir) {
    // Stable names by the adapter's identity, for the ports that have them.
    std::map<std::string, std::string> byId;
    for (const std::string& name : entriesOf(byIdDir)) {
        char target[PATH_MAX];
        if (realpath((byIdDir + "/" + name).c_str(), target) != nullptr) {
            byId[target] = byIdDir + "/" + name;
        }
    }
    std::vector<PortPresent> ports;
    for (const std::string& name : entriesOf(sysClassTty)) {
        const std::string sys = sysClassTty + "/" + name;
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
        const std::string device = devDir + "/" + name;
        const auto alias = byId.find(device);
        ports.push_back({device, alias != byId.end() ? alias->second : "", ""});
    }
    return ports;
}
#endif

PortsPresent portsPresent() {
    PortsPresent present;
#ifdef __APPLE__
    for (const std::string& name : entriesOf("/dev")) {
        if (name.rfind("cu.", 0) == 0) {
            present.ports.push_back({"/dev/" + name, "", ""});
        }
    }
#else
    present.ports = findPorts("/sys/class/tty", "/dev", "/dev/serial/by-id");
#endif
    return present;
}

}  // namespace qorv
