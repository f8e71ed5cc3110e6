#include <algorithm>
#include <cctype>

#include "channel/ports.h"

namespace qorv {

namespace {

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

size_t picked(const std::string& selector, const std::vector<PortPresent>& ports) {
    return static_cast<size_t>(std::count_if(
        ports.begin(), ports.end(), [&](const PortPresent& p) { return selects(selector, p); }));
}

}  // namespace

PortSelection selectPort(const PortSpec& argument) {
    PortSelection selection;
    selection.selector = argument.kind == PortKind::UsbSelector;
    if (selection.selector) {
        selection.present = portsPresent();
        for (const PortPresent& port : selection.present.ports) {
            if (selects(argument.usb, port)) {
                selection.matches.push_back(port);
            }
        }
    }
    return selection;
}

namespace {

std::string upperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The value after `key` in `id` (any letter case) up to the next of `ends`, lower case.
std::string field(const std::string& id, const std::string& key, const char* ends) {
    const size_t at = upperCase(id).find(key);
    if (at == std::string::npos) {
        return "";
    }
    const size_t from = at + key.size();
    return lowerCase(id.substr(from, id.find_first_of(ends, from) - from));
}

// The part of an instance ID after its last '\'.
std::string lastPart(const std::string& id) {
    const size_t slash = id.rfind('\\');
    return slash == std::string::npos ? "" : id.substr(slash + 1);
}

}  // namespace

bool usbIdentityFromWindows(const std::string& instanceId, const std::string& parentId,
                            const std::string& locationPath, PortPresent* port) {
    const std::string upper = upperCase(instanceId);
    const bool ftdi = upper.rfind("FTDIBUS\\", 0) == 0;
    if (!ftdi && upper.rfind("USB\\", 0) != 0) {
        return false;
    }
    port->vid = field(instanceId, "VID_", ftdi ? "+\\" : "&\\");
    port->pid = field(instanceId, "PID_", ftdi ? "+\\" : "&\\");
    if (ftdi) {
        // VID_0403+PID_6011+FT4A\0000: the serial number the chip gave, and its channel.
        const size_t plus = instanceId.find('+', upper.find("PID_"));
        const size_t slash = instanceId.find('\\', plus);
        port->serial =
            plus == std::string::npos ? "" : instanceId.substr(plus + 1, slash - plus - 1);
    } else {
        const std::string interface = field(instanceId, "&MI_", "&\\");
        port->usbInterface = interface;
        // A composite device's serial number is its parent's.
        const std::string own = interface.empty() ? lastPart(instanceId) : lastPart(parentId);
        port->serial = own.find('&') == std::string::npos ? own : "";
    }
    // USB(3)#USB(1)#USBMI(2): the ports from the root hub down, then the interface.
    std::string location;
    for (size_t at = locationPath.find("#USB("); at != std::string::npos;
         at = locationPath.find("#USB(", at + 1)) {
        const size_t close = locationPath.find(')', at);
        location += (location.empty() ? "" : ".") + locationPath.substr(at + 5, close - at - 5);
    }
    port->location = location;
    const std::string mi = field(locationPath, "#USBMI(", ")");
    if (!mi.empty() && port->usbInterface.empty()) {
        port->usbInterface = mi;
    }
    return !port->vid.empty() && !port->pid.empty();
}

std::string deviceToOpen(const PortPresent& port) {
    return port.device.rfind("COM", 0) == 0 ? "\\\\.\\" + port.device : port.device;
}

bool selects(const UsbSelector& selector, const PortPresent& port) {
    if (port.vid.empty()) {
        return false;
    }
    if (selector.byLocation) {
        const std::string place = selector.location;
        return !port.location.empty() &&
               (place == port.location || place == port.location + ":" + port.usbInterface);
    }
    // The serial number as the device gave it, letter case and all.
    return selector.vid == port.vid && selector.pid == port.pid &&
           (!selector.hasSerial || selector.serial == port.serial);
}

bool selects(const std::string& selector, const PortPresent& port) {
    UsbSelector parsed;
    return parseSelector(selector.c_str(), &parsed) && selects(parsed, port);
}

std::string selectorFor(const PortPresent& port, const std::vector<PortPresent>& ports) {
    if (port.vid.empty()) {
        return "";
    }
    const std::string ids = "usb:" + port.vid + ":" + port.pid;
    if (picked(ids, ports) == 1) {
        return ids;
    }
    if (!port.serial.empty() && picked(ids + ":" + port.serial, ports) == 1) {
        return ids + ":" + port.serial;
    }
    if (port.location.empty()) {
        return ids;
    }
    const std::string place = "usb@" + port.location;
    return picked(place, ports) == 1 || port.usbInterface.empty() ? place
                                                                  : place + ":" + port.usbInterface;
}

}  // namespace qorv
