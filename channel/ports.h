// The serial ports present on this system, as data; the reporting side prints them. (Listing
// allocates: it runs only for the usage text and a failed open, never during a store.)
#pragma once

#include <string>
#include <vector>

#include "channel/port_spec.h"

namespace qorv {

struct PortPresent {
    std::string device;       // the name or path to open
    std::string description;  // what the system calls it (a stable name, a friendly name), or ""
    std::string systemName;   // the name of the device behind it ("\\Device\\BthModem0"), or ""
    // A USB adapter's identity: vendor and product ID (four hex digits, lower case), the serial
    // number the device gave (never one the system made up), and its place on the bus as the
    // system counts it ("1-1.4"); empty for a port that is no USB adapter, or a value unknown.
    std::string vid;
    std::string pid;
    std::string serial;
    std::string location;
    // The interface of a device with several ports ("1.2" of "1-1.4:1.2"), or "".
    std::string usbInterface;
};

struct PortsPresent {
    std::vector<PortPresent> ports;
    // The system's reason when the list could not be read at all, or when some entries could not.
    std::string unreadable;
    std::string entriesUnreadable;
    // Whether this system's listing gives adapters' identities (macOS's does not yet).
    bool identities = true;
};

PortsPresent portsPresent();

// A USB selector picks an adapter by what it is: "usb:VID:PID[:SERIAL]" (hex IDs, any letter
// case) or "usb@LOCATION", where a location with an interface ("usb@1-1.4:1.2") picks one port
// of an adapter that has several. The serial number an FTDI chip's port has on Windows, with
// its channel's letter ("FT4ZABCDB" for interface 1.1), and an interface written as Windows
// numbers it ("usb@2.4:01") pick it too. Whether `selector` picks `port`:
bool selects(const UsbSelector& selector, const PortPresent& port);
bool selects(const std::string& selector, const PortPresent& port);
// What a port argument that is a selector picks among the ports present.
struct PortSelection {
    bool selector = false;
    PortsPresent present;
    std::vector<PortPresent> matches;
};
PortSelection selectPort(const PortSpec& port);

// Windows: one device node, from a port's own node up, with the first of its location paths.
struct WindowsNode {
    std::string instanceId;
    std::string locationPath;
};
// Windows: a USB serial port's identity from its node and the nodes above it (its parent and
// grandparent). The port's own node must be a USB one ("USB\VID_1A86&PID_7523\...", a composite
// device's interface "USB\...&MI_02\...") or the FTDI driver's ("FTDIBUS\VID_0403+PID_6011+
// FT4ZABCDB\0000", whose serial number ends in the channel's letter); any other (a Bluetooth
// port above a USB radio, a virtual pair) is no USB adapter and gives false. The serial number,
// the location and the interface come from the USB device node above it all: its own ID's last
// part (none when Windows made it up: it holds '&'), the "#USB(n)" parts of its location path
// ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(1)" is "3.1"), and the interface written as
// Linux writes it, configuration 1 ("&MI_02" and "#USBMI(2)" are "1.2"; a device of one
// interface is "1.0").
bool usbIdentityFromWindows(const std::vector<WindowsNode>& fromPort, PortPresent* port);

// The device to open for a port listed: Windows lists COM10 as "COM10", opened as "\\.\COM10".
std::string deviceToOpen(const PortPresent& port);
// Whether the device `opened` is the port listed: the same name, or (POSIX) a link to it, as
// /dev/serial/by-id/... is.
bool isListedPort(const std::string& opened, const PortPresent& port);

// A selector that picks `port` alone among `ports`: its IDs, with its serial number where that
// is needed and enough, else its location; "" for a port that is no USB adapter.
std::string selectorFor(const PortPresent& port, const std::vector<PortPresent>& ports);

#if !defined(_WIN32) && !defined(__APPLE__)
// Linux: the ttys under `sysClassTty` that have a device behind them, except the 8250 driver's
// ports without a UART (type 0), as paths in `devDir`, each with the name in `byIdDir` that
// leads to it.
std::vector<PortPresent> findPorts(const std::string& sysClassTty, const std::string& devDir,
                                   const std::string& byIdDir);
#endif

}  // namespace qorv
