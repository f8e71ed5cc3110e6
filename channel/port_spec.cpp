// The one place where the port argument is read as text.
#include "channel/port_spec.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "channel/platform.h"

namespace qorv {

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether `text` begins with `prefix` (lower case) in any letter case.
bool startsWith(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (lower(*text) != *prefix) {
            return false;
        }
    }
    return true;
}

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (lower(c) >= 'a' && lower(c) <= 'f');
}

// Copies the hex ID at `text` up to ':' or the end, lower case; the end of it, or null.
const char* takeId(const char* text, char* out, size_t size) {
    size_t length = 0;
    for (; *text != '\0' && *text != ':'; ++text) {
        if (!isHex(*text) || length + 1 >= size) {
            return nullptr;
        }
        out[length++] = lower(*text);
    }
    out[length] = '\0';
    return length > 0 ? text : nullptr;
}

bool copyText(const char* from, size_t length, char* out, size_t size) {
    if (length >= size) {
        return false;
    }
    std::memcpy(out, from, length);
    out[length] = '\0';
    return true;
}

// "COMn" in any letter case is port n, as Windows names it, also written out as the device
// "\\.\COMn"; anything else is read as a number, as atoi reads one.
int32_t portNumberOf(const char* argument) {
    if (std::strncmp(argument, "\\\\.\\", 4) == 0) {
        argument += 4;
    }
    const bool named = startsWith(argument, "com") && argument[3] >= '0' && argument[3] <= '9';
    return std::atoi(named ? argument + 3 : argument);
}

// "HOST:PORT" after the scheme: an IPv6 host in brackets, a port of decimal digits, 1-65535.
void parseServer(const char* hostAndPort, PortSpec* port) {
    const char* colon = std::strrchr(hostAndPort, ':');
    if (colon == nullptr || colon == hostAndPort) {
        return;
    }
    const char* digits = colon + 1;
    uint32_t value = 0;
    size_t count = 0;
    for (; digits[count] >= '0' && digits[count] <= '9' && count < 6; ++count) {
        value = value * 10 + static_cast<uint32_t>(digits[count] - '0');
    }
    if (count == 0 || digits[count] != '\0' || value < 1 || value > 65535) {
        return;
    }
    const bool bracketed = hostAndPort[0] == '[' && colon[-1] == ']';
    const size_t length = static_cast<size_t>(colon - hostAndPort);
    if (bracketed && length < 3) {
        return;
    }
    if (!copyText(hostAndPort + (bracketed ? 1 : 0), length - (bracketed ? 2 : 0), port->host,
                  sizeof port->host)) {
        return;
    }
    port->tcpPort = static_cast<uint16_t>(value);
}

bool readSelector(const char* text, UsbSelector* selector) {
    if (startsWith(text, "usb@")) {
        selector->byLocation = true;
        return copyText(text + 4, std::strlen(text + 4), selector->location,
                        sizeof selector->location) &&
               selector->location[0] != '\0';
    }
    if (!startsWith(text, "usb:")) {
        return false;
    }
    // usb:VID:PID[:SERIAL]
    const char* at = takeId(text + 4, selector->vid, sizeof selector->vid);
    if (at == nullptr || *at != ':') {
        return false;
    }
    at = takeId(at + 1, selector->pid, sizeof selector->pid);
    if (at == nullptr) {
        return false;
    }
    if (*at == ':') {
        selector->hasSerial = true;
        return copyText(at + 1, std::strlen(at + 1), selector->serial, sizeof selector->serial);
    }
    return *at == '\0';
}

}  // namespace

bool parseSelector(const char* text, UsbSelector* selector) {
    *selector = UsbSelector{};
    // One that cannot be read picks no port at all, not the adapter its readable start names.
    if (!readSelector(text, selector)) {
        *selector = UsbSelector{};
        return false;
    }
    return true;
}

PortSpec parsePort(const char* argument) {
    PortSpec port;
    port.argument = argument;
    if (startsWith(argument, "usb:") || startsWith(argument, "usb@")) {
        port.kind = PortKind::UsbSelector;
        parseSelector(argument, &port.usb);
        return port;
    }
    const bool raw = startsWith(argument, "socket://");
    if (raw || startsWith(argument, "rfc2217://")) {
        port.kind = PortKind::Server;
        port.telnet = !raw;
        parseServer(argument + (raw ? 9 : 10), &port);
        copyText(argument, std::strlen(argument), port.device, sizeof port.device);
        return port;
    }
    // A port argument with a '/' names the device itself; any other is a COM port number.
    if (std::strchr(argument, '/') != nullptr) {
        return devicePort(argument);
    }
    port = numberedPort(portNumberOf(argument));
    port.argument = argument;
    return port;
}

PortSpec numberedPort(int32_t number) {
    PortSpec port;
    port.number = number;
    platform::portDeviceName(number, port.device, sizeof port.device);
    port.argument = port.device;
    return port;
}

PortSpec devicePort(const char* path) {
    PortSpec port;
    port.kind = PortKind::Path;
    port.argument = path;
    copyText(path, std::strlen(path), port.device, sizeof port.device);
    return port;
}

}  // namespace qorv
