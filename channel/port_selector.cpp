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

PortSelection selectPort(const std::string& argument) {
    PortSelection selection;
    selection.selector = isSelector(argument);
    if (selection.selector) {
        selection.present = portsPresent();
        for (const PortPresent& port : selection.present.ports) {
            if (selects(argument, port)) {
                selection.matches.push_back(port);
            }
        }
    }
    return selection;
}

bool isSelector(const std::string& argument) {
    return argument.rfind("usb:", 0) == 0 || argument.rfind("usb@", 0) == 0;
}

bool selects(const std::string& selector, const PortPresent& port) {
    if (port.vid.empty() || !isSelector(selector)) {
        return false;
    }
    if (selector.rfind("usb@", 0) == 0) {
        const std::string place = selector.substr(4);
        return !port.location.empty() &&
               (place == port.location || place == port.location + ":" + port.usbInterface);
    }
    // usb:VID:PID[:SERIAL]; the serial number as the device gave it, letter case and all.
    const size_t second = selector.find(':', 4);
    const size_t third = second == std::string::npos ? second : selector.find(':', second + 1);
    const std::string vid = lowerCase(selector.substr(4, second - 4));
    const std::string pid = second == std::string::npos
                                ? ""
                                : lowerCase(selector.substr(second + 1, third - second - 1));
    return vid == port.vid && pid == port.pid &&
           (third == std::string::npos || selector.substr(third + 1) == port.serial);
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
