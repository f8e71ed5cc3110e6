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

#ifndef __APPLE__
std::string firstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The USB device a tty belongs to, found up the device tree from it (through the interface a
// USB serial or CDC driver sits on): its IDs, serial number and bus location.
void addUsbIdentity(const std::string& sysDevice, PortPresent* port) {
    char resolved[PATH_MAX];
    if (realpath(sysDevice.c_str(), resolved) == nullptr) {
        return;
    }
    std::string dir = resolved;
    std::string below;
    for (int up = 0; up < 4 && dir.size() > 1; ++up) {
        const std::string vid = firstLine(dir + "/idVendor");
        if (!vid.empty()) {
            const size_t colon = below.find(':');
            port->usbInterface = colon == std::string::npos ? "" : below.substr(colon + 1);
            port->vid = vid;
            port->pid = firstLine(dir + "/idProduct");
            port->serial = firstLine(dir + "/serial");
            port->location = dir.substr(dir.rfind('/') + 1);
            if (port->description.empty()) {
                const std::string maker = firstLine(dir + "/manufacturer");
                const std::string product = firstLine(dir + "/product");
                port->description = maker.empty() ? product : maker + " " + product;
            }
            return;
        }
        below = dir.substr(dir.rfind('/') + 1);
        dir = dir.substr(0, dir.rfind('/'));
    }
}
#endif

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
        PortPresent port{device, alias != byId.end() ? alias->second : "", "", "", "", "", "", ""};
        addUsbIdentity(sys + "/device", &port);
        ports.push_back(port);
    }
    return ports;
}
#endif

PortsPresent portsPresent() {
    PortsPresent present;
#ifdef __APPLE__
    present.identities = false;
    for (const std::string& name : entriesOf("/dev")) {
        if (name.rfind("cu.", 0) == 0) {
            present.ports.push_back({"/dev/" + name, "", "", "", "", "", "", ""});
        }
    }
#else
    present.ports = findPorts("/sys/class/tty", "/dev", "/dev/serial/by-id");
#endif
    return present;
}

bool isListedPort(const std::string& opened, const PortPresent& port) {
    if (opened == port.device) {
        return true;
    }
    char resolved[PATH_MAX];
    char listed[PATH_MAX];
    return realpath(opened.c_str(), resolved) != nullptr &&
           realpath(port.device.c_str(), listed) != nullptr &&
           std::string(resolved) == std::string(listed);
}

}  // namespace qorv
