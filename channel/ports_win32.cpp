// The serial ports present on Windows: the names under HARDWARE\DEVICEMAP\SERIALCOMM, with the
// friendly names the device manager shows and a USB adapter's identity, read from the port's
// device node and the USB nodes above it (Ports and Modem classes), where Windows keeps them.
#include <windows.h>
// After windows.h.
#include <setupapi.h>
// After setupapi.h.
#include <cfgmgr32.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "channel/ports.h"
#include "channel/win32_text.h"

namespace qorv {

namespace {

// The setup classes whose devices may be serial ports: Ports (COM and LPT), and Modem, where
// some USB CDC devices are installed.
const GUID PORTS_CLASS = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID MODEM_CLASS = {
    0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
// The first of a device's location paths (a list of strings), or "".
std::string locationPathOf(HDEVINFO devices, SP_DEVINFO_DATA* device) {
    wchar_t paths[1024] = {};
    return SetupDiGetDeviceRegistryPropertyW(devices, device, SPDRP_LOCATION_PATHS, nullptr,
                                             reinterpret_cast<BYTE*>(paths),
                                             sizeof paths - 2 * sizeof paths[0], nullptr)
               ? utf8FromWide(paths)
               : "";
}

// A device node's instance ID.
std::wstring instanceIdOf(DEVINST instance) {
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    return CM_Get_Device_IDW(instance, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS ? id : L"";
}

// A port's device node and the two above it, where a USB adapter's identity is kept. The nodes
// above are opened in a list of their own (`ancestors`), so that the list being walked does not
// grow.
std::vector<WindowsNode> nodesFrom(HDEVINFO devices, SP_DEVINFO_DATA* port, HDEVINFO ancestors) {
    std::vector<WindowsNode> nodes{
        {utf8FromWide(instanceIdOf(port->DevInst).c_str()), locationPathOf(devices, port)}};
    DEVINST instance = port->DevInst;
    for (DEVINST parent = 0; nodes.size() < 3 && CM_Get_Parent(&parent, instance, 0) == CR_SUCCESS;
         instance = parent) {
        const std::wstring id = instanceIdOf(parent);
        SP_DEVINFO_DATA above;
        above.cbSize = sizeof above;
        const bool opened = ancestors != INVALID_HANDLE_VALUE &&
                            SetupDiOpenDeviceInfoW(ancestors, id.c_str(), nullptr, 0, &above);
        nodes.push_back(
            {utf8FromWide(id.c_str()), opened ? locationPathOf(ancestors, &above) : ""});
    }
    return nodes;
}

// The COM port name a device has (its "PortName"), or "".
std::string portNameOf(HDEVINFO devices, SP_DEVINFO_DATA* device) {
    HKEY key = SetupDiOpenDevRegKey(devices, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return "";
    }
    wchar_t port[64] = {};
    DWORD size = sizeof port - sizeof port[0];
    DWORD type = 0;
    const bool named = RegQueryValueExW(key, L"PortName", nullptr, &type,
                                        reinterpret_cast<BYTE*>(port), &size) == ERROR_SUCCESS &&
                       type == REG_SZ;
    RegCloseKey(key);
    return named ? utf8FromWide(port) : "";
}

// What the device manager knows of each port of one setup class, by its name: its friendly
// name and, for a USB adapter, its identity. A port already known keeps what it has.
void addPortDetails(const GUID& setupClass, std::map<std::string, PortPresent>* details) {
    HDEVINFO devices = SetupDiGetClassDevsW(&setupClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return;
    }
    HDEVINFO ancestors = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(devices, i, &device); ++i) {
        const std::string port = portNameOf(devices, &device);
        if (port.empty() || details->count(port) != 0) {
            continue;
        }
        PortPresent& entry = (*details)[port];
        wchar_t text[512] = {};
        if (SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                              reinterpret_cast<BYTE*>(text),
                                              sizeof text - sizeof text[0], nullptr)) {
            entry.description = utf8FromWide(text);
        }
        usbIdentityFromWindows(nodesFrom(devices, &device, ancestors), &entry);
    }
    if (ancestors != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(ancestors);
    }
    SetupDiDestroyDeviceInfoList(devices);
}

std::map<std::string, PortPresent> portDetails() {
    std::map<std::string, PortPresent> details;
    addPortDetails(PORTS_CLASS, &details);
    addPortDetails(MODEM_CLASS, &details);
    return details;
}

// COM3 before COM12.
bool comesBefore(const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

}  // namespace

PortsPresent portsPresent() {
    PortsPresent present;
    // Each port with the name of the device behind it.
    std::vector<std::pair<std::string, std::string>> ports;
    HKEY key;
    const LSTATUS opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
    // The key exists only while ports do.
    if (opened != ERROR_SUCCESS && opened != ERROR_FILE_NOT_FOUND) {
        present.unreadable = systemReason(static_cast<DWORD>(opened));
        return present;
    }
    LSTATUS failure = ERROR_SUCCESS;
    if (opened == ERROR_SUCCESS) {
        // A value that cannot be read (a name too long for the buffer) is passed over, so that
        // the ports after it are still listed.
        for (DWORD i = 0; i < 4096; ++i) {
            wchar_t name[256];
            DWORD nameSize = sizeof name / sizeof name[0];
            wchar_t value[64] = {};
            DWORD valueSize = sizeof value - sizeof value[0];
            DWORD type = 0;
            const LSTATUS status = RegEnumValueW(key, i, name, &nameSize, nullptr, &type,
                                                 reinterpret_cast<BYTE*>(value), &valueSize);
            if (status == ERROR_NO_MORE_ITEMS) {
                break;
            }
            if (status != ERROR_SUCCESS) {
                failure = status;
                continue;
            }
            if (type == REG_SZ) {
                ports.emplace_back(utf8FromWide(value), utf8FromWide(name));
            }
        }
        RegCloseKey(key);
    }
    if (failure != ERROR_SUCCESS) {
        present.entriesUnreadable = systemReason(static_cast<DWORD>(failure));
    }
    if (ports.empty()) {
        return present;
    }
    std::sort(ports.begin(), ports.end(),
              [](const auto& a, const auto& b) { return comesBefore(a.first, b.first); });
    const std::map<std::string, PortPresent> details = portDetails();
    for (const auto& [port, device] : ports) {
        const auto found = details.find(port);
        PortPresent entry = found == details.end() ? PortPresent{} : found->second;
        entry.device = port;
        entry.systemName = device;
        present.ports.push_back(entry);
    }
    return present;
}

bool isListedPort(const std::string& opened, const PortPresent& port) {
    return opened == port.device || opened == deviceToOpen(port);
}

}  // namespace qorv
