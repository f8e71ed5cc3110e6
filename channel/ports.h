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
// of an adapter that has several. Whether `selector` picks `port`:
bool selects(const UsbSelector& selector, const PortPresent& port);
bool selects(const std::string& selector, const PortPresent& port);
// What a port argument that is a selector picks among the ports present.
struct PortSelection {
    bool selector = false;
    PortsPresent present;
    std::vector<PortPresent> matches;
};
PortSelection selectPort(const PortSpec& port);

// Windows: a USB serial port's identity from its device instance ID and its parent's, and its
// place from its location path. "USB\VID_0403&PID_6001\A1B2" gives the IDs and the serial
// number (none from an ID Windows made up, which holds '&'); a composite device's interface
// ("...&MI_02\...") takes the parent's serial number and the interface; the FTDI driver's
// "FTDIBUS\VID_0403+PID_6011+FT4A\0000" its own IDs and serial number (the last letter is the
// channel). "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(1)#USBMI(2)" is location "3.1",
// interface "2". False when the ID is no USB device's.
bool usbIdentityFromWindows(const std::string& instanceId, const std::string& parentId,
                            const std::string& locationPath, PortPresent* port);

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
