#include <algorithm>
#include <cctype>
#include <cstdlib>

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

bool startsWith(const std::string& upper, const char* prefix) {
    return upper.rfind(prefix, 0) == 0;
}

// The "#USB(n)" parts of a location path joined by '.': the ports from the root hub down.
std::string hubPorts(const std::string& locationPath) {
    std::string location;
    for (size_t at = locationPath.find("#USB("); at != std::string::npos;
         at = locationPath.find("#USB(", at + 1)) {
        const size_t close = locationPath.find(')', at);
        location += (location.empty() ? "" : ".") + locationPath.substr(at + 5, close - at - 5);
    }
    return location;
}

// A number of digits in `base`, or -1.
long numberIn(const std::string& digits, int base) {
    if (digits.empty() || digits.size() > 3) {
        return -1;
    }
    char* end = nullptr;
    const long value = std::strtol(digits.c_str(), &end, base);
    return *end == '\0' ? value : -1;
}

}  // namespace

bool usbIdentityFromWindows(const std::vector<WindowsNode>& fromPort, PortPresent* port) {
    if (fromPort.empty()) {
        return false;
    }
    const std::string& own = fromPort.front().instanceId;
    const bool ftdi = startsWith(upperCase(own), "FTDIBUS\\");
    if (!ftdi && !startsWith(upperCase(own), "USB\\")) {
        return false;
    }
    port->vid = field(own, "VID_", ftdi ? "+\\" : "&\\");
    port->pid = field(own, "PID_", ftdi ? "+\\" : "&\\");
    // The interface: the first "&MI_xx" (hex) or "#USBMI(n)" on the way up.
    long interface = -1;
    const WindowsNode* device = nullptr;
    for (const WindowsNode& node : fromPort) {
        const std::string upper = upperCase(node.instanceId);
        if (interface < 0) {
            interface = numberIn(field(node.instanceId, "&MI_", "&\\"), 16);
        }
        if (interface < 0) {
            interface = numberIn(field(node.locationPath, "#USBMI(", ")"), 10);
        }
        if (startsWith(upper, "USB\\") && upper.find("&MI_") == std::string::npos) {
            device = &node;
            break;
        }
    }
    port->usbInterface = "1." + std::to_string(interface < 0 ? 0 : interface);
    if (device != nullptr) {
        const std::string serial = lastPart(device->instanceId);
        port->serial = serial.find('&') == std::string::npos ? serial : "";
    } else if (ftdi) {
        // No USB device node above it: the serial number as the FTDI driver gives it.
        const size_t plus = own.find('+', upperCase(own).find("PID_"));
        const size_t slash = own.find('\\', plus);
        port->serial = plus == std::string::npos ? "" : own.substr(plus + 1, slash - plus - 1);
    }
    // The place of the USB device, or the nearest node that has one.
    port->location = device == nullptr ? "" : hubPorts(device->locationPath);
    for (const WindowsNode& node : fromPort) {
        if (port->location.empty()) {
            port->location = hubPorts(node.locationPath);
        }
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
    const size_t dot = port.usbInterface.find('.');
    const long interface =
        dot == std::string::npos ? -1 : numberIn(port.usbInterface.substr(dot + 1), 10);
    if (selector.byLocation) {
        const std::string place = selector.location;
        if (port.location.empty() || place.rfind(port.location, 0) != 0) {
            return false;
        }
        const std::string rest = place.substr(port.location.size());
        // "" or ":1.2", or ":02" as Windows numbers the interface.
        return rest.empty() || rest == ":" + port.usbInterface ||
               (rest.size() > 1 && rest[0] == ':' && rest.find('.') == std::string::npos &&
                interface >= 0 && numberIn(rest.substr(1), 16) == interface);
    }
    if (selector.vid != port.vid || selector.pid != port.pid) {
        return false;
    }
    // The serial number as the device gave it, letter case and all; an FTDI chip's port also by
    // the serial number its Windows driver shows, which ends in the channel's letter.
    const std::string serial = selector.serial;
    const bool withChannel = port.vid == "0403" && !port.serial.empty() && interface >= 0 &&
                             interface < 26 &&
                             serial == port.serial + static_cast<char>('A' + interface);
    return !selector.hasSerial || serial == port.serial || withChannel;
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
