// The serial ports present on a POSIX system.
#pragma once

#include <string>
#include <vector>

namespace qorv {

struct PortPresent {
    std::string device;       // the path to open
    std::string description;  // a stable name for it, where the system gives one
};

#if !defined(_WIN32) && !defined(__APPLE__)
// Linux: the ttys under `sysClassTty` that have a device behind them, except the 8250 driver's
// ports without a UART (type 0), as paths in `devDir`, each with the name in `byIdDir` that
// leads to it.
std::vector<PortPresent> findPorts(const std::string& sysClassTty, const std::string& devDir,
                                   const std::string& byIdDir);
#endif

}  // namespace qorv
