// The serial ports present on this system, as data; the reporting side prints them. (Listing
// allocates: it runs only for the usage text and a failed open, never during a store.)
#pragma once

#include <string>
#include <vector>

namespace qorv {

struct PortPresent {
    std::string device;       // the name or path to open
    std::string description;  // what the system calls it (a stable name, a friendly name), or ""
    std::string systemName;   // the name of the device behind it ("\\Device\\BthModem0"), or ""
};

struct PortsPresent {
    std::vector<PortPresent> ports;
    // The system's reason when the list could not be read at all, or when some entries could not.
    std::string unreadable;
    std::string entriesUnreadable;
};

PortsPresent portsPresent();

#if !defined(_WIN32) && !defined(__APPLE__)
// Linux: the ttys under `sysClassTty` that have a device behind them, except the 8250 driver's
// ports without a UART (type 0), as paths in `devDir`, each with the name in `byIdDir` that
// leads to it.
std::vector<PortPresent> findPorts(const std::string& sysClassTty, const std::string& devDir,
                                   const std::string& byIdDir);
#endif

}  // namespace qorv
