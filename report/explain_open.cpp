// What the run says when the port cannot be opened or picked, and the ports there are.
#include <cstdio>
#include <string>

#include "channel/ports.h"
#include "protocol/store_layout.h"
#include "report/diagnosis.h"
#include "report/messages.h"
#include "report/output_file.h"

namespace qorv {

namespace {

// Whether the argument holds a number as the command line reads one: white space, a sign, digits.
bool isNumber(const char* text) {
    while (*text == ' ' || *text == '\t') {
        ++text;
    }
    if (*text == '+' || *text == '-') {
        ++text;
    }
    return *text >= '0' && *text <= '9';
}

// Whether the system lists the port as a Bluetooth link (by its friendly name, or the name of
// the device behind it).
bool isBluetoothLink(const std::string& device) {
    for (const PortPresent& port : portsPresent().ports) {
        if (isListedPort(device, port) &&
            (port.description.find("Bluetooth") != std::string::npos ||
             port.systemName.find("BthModem") != std::string::npos)) {
            return true;
        }
    }
    return false;
}

}  // namespace

void explainPortOpenFailure(const DeviceChannel& port, const RunArguments& arguments) {
    const char* portArgument = arguments.port->argument;
    const char* baudArgument = arguments.baudArgument;
    const int32_t baudRate = arguments.baudRate;
    explainOpenFailure(port);
    if (arguments.port->kind == PortKind::Number && arguments.port->number < 1) {
        tell("the port must be a number of 1 or more (or COMn, or a device path), not \"%s\"",
             portArgument);
        return;
    }
    if (baudArgument != nullptr && !isNumber(baudArgument)) {
        tell("the baud rate must be a number, not \"%s\"", baudArgument);
        return;
    }
    switch (port.openProblem()) {
        case OPEN_NOT_FOUND:
            tell("there is no such port");
            listPortsPresent();
            break;
        case OPEN_DENIED:
            tell("%s", permissionHint());
            break;
        case OPEN_BUSY_OR_RECENT:
            tell(
                "another program holds the port, or it was closed or unplugged a moment ago: "
                "close the other program, or wait a moment, and try again");
            break;
        case OPEN_BUSY: {
            char holder[64];
            int pid = 0;
            if (DeviceChannel::portHolder(port.openedName(), holder, sizeof holder, &pid)) {
                tell("another program holds the port: %s (pid %d); close it and try again", holder,
                     pid);
            } else {
                tell("another program holds the port; close it and try again");
            }
            break;
        }
        case OPEN_MARKED_EXCLUSIVE:
            tell(
                "the port is marked for exclusive use, but no program holds its lock: a program "
                "that had it open may have been killed (SIGKILL cannot be caught) while another "
                "still keeps it open; the mark goes when every program has closed the port, or "
                "when the adapter is plugged in again");
            break;
        case OPEN_SERVER_UNREACHABLE:
            tell(
                "no device server there: check the host and the port (socket://HOST:PORT, "
                "rfc2217://HOST:PORT), and that the server runs and accepts connections");
            break;
        case OPEN_TIMEOUTS_REFUSED:
            tell(
                "the driver did not take the port's read time limits; without them a read could "
                "wait for ever, so the port is not used");
            break;
        case OPEN_DRIVER_FAILED:
            if (isBluetoothLink(port.openedName())) {
                tell(
                    "the port is a Bluetooth link that did not connect: check that the device "
                    "is paired, in range and switched on, and try again");
            } else {
                tell(
                    "the adapter's driver did not respond or reports the device as not working: "
                    "unplug the adapter, plug it in again and retry");
            }
            break;
        case OPEN_DRIVER_STUCK:
            tell(
                "the adapter's driver stopped answering while the port was being set up: the "
                "adapter's driver is stuck: unplug it and plug it in again; until then Windows "
                "may keep the port, and this program, for some minutes");
            break;
        case OPEN_SETTINGS_REFUSED:
            tell("the port did not take the line settings (%d baud, 8 data bits, no parity)",
                 static_cast<int>(baudRate));
            break;
        case OPEN_OTHER:
            break;
    }
}

void tellSelection(const char* argument, const PortSelection& selection) {
    if (selection.matches.size() == 1) {
        const PortPresent& port = selection.matches[0];
        tell("%s is %s%s%s", argument, port.device.c_str(), port.description.empty() ? "" : ", ",
             port.description.c_str());
        return;
    }
    if (!selection.present.identities) {
        tell(
            "%s: choosing a port by its USB identity is not supported on this system yet; name "
            "the device (/dev/cu.*)",
            argument);
        listPorts(selection.present);
        return;
    }
    if (selection.matches.empty()) {
        tell("%s picks none of the serial ports present", argument);
        listPorts(selection.present);
        return;
    }
    tell("%s picks %lu ports; name one of them by its selector:", argument,
         static_cast<unsigned long>(selection.matches.size()));
    PortsPresent candidates;
    candidates.ports = selection.matches;
    listPorts(candidates);
}

void listPortsPresent() {
    listPorts(portsPresent());
}

void listPorts(const PortsPresent& present) {
    if (!present.unreadable.empty()) {
        tell("the list of serial ports could not be read (%s)", present.unreadable.c_str());
        return;
    }
    if (!present.entriesUnreadable.empty()) {
        tell("some entries of the list of serial ports could not be read (%s)",
             present.entriesUnreadable.c_str());
    }
    if (present.ports.empty()) {
        tell("no serial ports found on this system");
        return;
    }
    tell("serial ports present:");
    for (const PortPresent& port : present.ports) {
        std::string line = "  " + port.device;
        if (!port.description.empty()) {
            line += "  " + port.description;
        }
        if (!port.vid.empty()) {
            line += "  " + port.vid + ":" + port.pid;
            line += port.serial.empty() ? "" : " serial " + port.serial;
            line += port.location.empty() ? "" : " at " + port.location;
            line += "  " + selectorFor(port, present.ports);
        }
        tell("%s", line.c_str());
    }
}

}  // namespace qorv
