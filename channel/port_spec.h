// The port argument as what it is, parsed once: a port number, a device path, a USB adapter
// picked by its identity, or a serial line on a device server. Everything after the parse reads
// this value; messages show the argument as typed.
#pragma once

#include <cstdint>

namespace qorv {

enum class PortKind : uint8_t { Number, Path, UsbSelector, Server };

// "usb:VID:PID[:SERIAL]" (hex IDs, any letter case) or "usb@LOCATION[:INTERFACE]".
struct UsbSelector {
    bool byLocation = false;
    char vid[8] = {};  // lower case
    char pid[8] = {};
    char serial[128] = {};  // as the device gives it, letter case and all; "" for any
    bool hasSerial = false;
    char location[128] = {};  // "1-1.4" or "1-1.4:1.2"
};

struct PortSpec {
    PortKind kind = PortKind::Number;
    // The argument as typed, for messages.
    const char* argument = "";
    // Number: the COM port's number (0 or less names no port).
    int32_t number = 0;
    // UsbSelector: what it asks for; `valid` false when it cannot pick any port.
    UsbSelector usb;
    // Server: "rfc2217://" (Telnet, the line gets the tool's settings) or "socket://" (the raw
    // stream); the host (an IPv6 address without its brackets) and the TCP port, 1-65535, or 0
    // when the address is no HOST:PORT.
    bool telnet = false;
    char host[256] = {};
    uint16_t tcpPort = 0;
    // The device to open: the path as typed, the numbered port's device, or (once a selector has
    // picked one) the adapter's.
    char device[256] = {};
};

// Reads a port argument; never fails: a malformed one gives a value whose open fails.
PortSpec parsePort(const char* argument);
// The value for a device path given as such, and for port number n.
PortSpec devicePort(const char* path);
PortSpec numberedPort(int32_t number);
// Reads "usb:..." or "usb@..." (the prefix in any letter case); false for anything else.
bool parseSelector(const char* text, UsbSelector* selector);

}  // namespace qorv
