// A USB serial adapter chip in user space for the virtual machine suite, attached to the guest
// kernel through USB/IP (vhci-hcd), so that the kernel's own driver for the chip binds to it:
// the chip's descriptors, the control requests its driver sends and what they do to the chip's
// registers, and its UART, paced at the rate the registers make, on the simulator's terminal.
//
//   usbchip CHIP VHCI-PORT PEER CONTROL STATE
//
// CHIP is one of the table below (ch340, cp2102, cp2101, pl2303, ft232r; a name may end in "-N" for
// a second chip of the kind). PEER is the simulator's terminal: the device on the chip's line,
// whose UART runs at 115200 baud 8N1 until told otherwise. Each change of the chip's line
// registers appends a line to the STATE file (an FTDI chip's with its latency timer):
//   STATE chip=ch340 rate=115384 data=8 parity=none stop=2 flow=none dtr=1 rts=1 break=0
// The CONTROL fifo takes one command a line:
//   unplug | plug            the chip leaves the bus (vhci detach) once it has nothing left
//                            to send (a cut in the middle of a request would leave the device
//                            waiting for the rest of it, which its next request then fills),
//                            and comes back, reset
//   stall | unstall          the chip stops taking data on its bulk OUT endpoint (NAK for ever)
//   noise framing|parity|break N   N bytes with that line error arrive from the line once the
//                            host has next sent something
//   line RATE                the device's UART runs at RATE
// Bytes sent at a rate more than 4% off the device's, or with other data bits or a parity,
// reach the other end as garbage, as on a real line.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

int64_t nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// ---- The chip's state, as its registers hold it ----------------------------------------------

struct Registers {
    uint32_t rate = 9600;  // the rate the chip's divisor makes
    int dataBits = 8;
    const char* parity = "none";
    int stopHalves = 2;  // 2: one stop bit, 3: one and a half, 4: two
    const char* flow = "none";
    bool dtr = false;
    bool rts = false;
    bool brk = false;
    bool uartOn = true;
    uint8_t escape = 0;  // CP210x: the event escape character, 0 when events are off
    int latencyMs = 16;  // FTDI: latency timer
    uint8_t part = 0;    // CP210x: the part number
    uint8_t reg[256] = {};
    uint8_t lineRequest[7] = {};  // PL2303: the line request as set
};

struct Setup {
    uint8_t type;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
};

// What a control request does: fills `reply` for an IN request, changes the registers; false
// stalls it (the chip does not know the request).
using Handler = bool (*)(Registers&, const Setup&, const Bytes& data, Bytes& reply);

struct Request {
    uint8_t type;
    uint8_t request;
    Handler handle;
};

enum class Framing {
    PLAIN,          // bytes as they came
    FTDI_STATUS,    // two status bytes before each packet's data, line errors in the second
    CP210X_EVENTS,  // escape sequences for line errors when the driver turned events on
    PL2303_STATUS,  // line errors on the interrupt endpoint, before the bytes they flag
};

struct Endpoint {
    uint8_t address;
    uint8_t attributes;  // 2 bulk, 3 interrupt
    uint16_t maxPacket;
    uint8_t interval;
};

struct Model {
    const char* name;
    uint16_t vid, pid, bcdUsb, bcdDevice;
    uint8_t deviceClass, maxPacket0;
    const char* manufacturer;
    const char* product;
    const char* serial;  // nullptr: the chip has no serial number
    uint8_t interfaceClass, interfaceSubClass, interfaceProtocol;
    Endpoint endpoints[3];
    int endpointCount;
    uint8_t bulkIn, bulkOut, interruptIn;
    size_t txFifo, rxFifo;
    Framing framing;
    const Request* requests;
    void (*reset)(Registers&);
};

// ---- CH340 (ch341 driver) ----------------------------------------------------------------------
// Vendor requests to the device: 0x5F version, 0xA1 serial init, 0x9A write two registers
// (wValue: their numbers, wIndex: their values), 0x95 read two registers, 0xA4 modem control
// (wValue: the inverse of DTR 0x20 and RTS 0x40). Registers 0x12 prescaler and 0x13 divisor make
// the rate 48 MHz / (2^(12 - 3 ps - fact) x (256 - divisor)); 0x18 is the line control (0x03 CS8,
// 0x04 two stop bits, 0x08 parity on, 0x10 even, 0x40 TX on, 0x80 RX on); 0x27 flow control.

void ch340Decode(Registers& r) {
    const uint8_t prescaler = r.reg[0x12];
    const int ps = prescaler & 3;
    const int fact = (prescaler >> 2) & 1;
    const int divisor = 256 - r.reg[0x13];
    r.rate =
        divisor > 0 ? static_cast<uint32_t>(48000000 / ((1 << (12 - 3 * ps - fact)) * divisor)) : 0;
    const uint8_t lcr = r.reg[0x18];
    r.dataBits = 5 + (lcr & 3);
    r.stopHalves = (lcr & 0x04) != 0 ? 4 : 2;
    r.parity = (lcr & 0x08) == 0 ? "none" : (lcr & 0x10) != 0 ? "even" : "odd";
    r.flow = (r.reg[0x27] & 1) != 0 ? "rtscts" : "none";
    r.brk = (r.reg[0x05] & 1) == 0 || (lcr & 0x40) == 0;
}
void ch340Reset(Registers& r) {
    r.reg[0x05] = 0x01;
    r.reg[0x06] = 0xff;  // modem status, inverted: no line asserted
    r.reg[0x07] = 0xee;
    r.reg[0x12] = 0x82;
    r.reg[0x13] = 0xd9;
    r.reg[0x18] = 0xc3;
    ch340Decode(r);
}
bool ch340Version(Registers&, const Setup&, const Bytes&, Bytes& reply) {
    reply = {0x31, 0x00};
    return true;
}
bool ch340Ok(Registers&, const Setup&, const Bytes&, Bytes&) {
    return true;
}
bool ch340Write(Registers& r, const Setup& s, const Bytes&, Bytes&) {
    r.reg[s.value & 0xff] = static_cast<uint8_t>(s.index & 0xff);
    r.reg[s.value >> 8] = static_cast<uint8_t>(s.index >> 8);
    ch340Decode(r);
    return true;
}
bool ch340Read(Registers& r, const Setup& s, const Bytes&, Bytes& reply) {
    reply = {r.reg[s.value & 0xff], r.reg[s.value >> 8]};
    return true;
}
bool ch340Modem(Registers& r, const Setup& s, const Bytes&, Bytes&) {
    r.dtr = (s.value & 0x20) == 0;
    r.rts = (s.value & 0x40) == 0;
    return true;
}
const Request CH340_REQUESTS[] = {
    {0xc0, 0x5f, ch340Version}, {0x40, 0xa1, ch340Ok},    {0x40, 0x9a, ch340Write},
    {0xc0, 0x95, ch340Read},    {0x40, 0xa4, ch340Modem}, {0, 0, nullptr},
};

// ---- CP2102 (cp210x driver) --------------------------------------------------------------------
// Requests to the interface: 0x00 enable, 0x1E/0x1D baud rate (4 bytes), 0x03/0x04 line control
// (stop bits in bits 0-3: 0 one, 1 one and a half, 2 two; parity in bits 4-7; data bits in 8-11),
// 0x07 modem lines (DTR 0x01, RTS 0x02, written when 0x100/0x200), 0x13/0x14 flow (16 bytes),
// 0x15 event escape character, 0x05 break, 0x10 status (19 bytes), 0x12 purge, 0x19 characters;
// to the device: 0xFF vendor (0x370B part number: 0x02). The CP2102 makes the rates of its table
// (application note AN205, table 1): each asked rate up to a limit runs at the rate of its row.

struct Cp2102Row {
    uint32_t rate;
    uint32_t upTo;
};
const Cp2102Row CP2102_RATES[] = {
    {300, 300},       {600, 600},       {1200, 1200},     {1800, 1800},      {2400, 2400},
    {4000, 4000},     {4800, 4803},     {7200, 7207},     {9600, 9612},      {14400, 14428},
    {16000, 16062},   {19200, 19250},   {28800, 28912},   {38400, 38601},    {51200, 51558},
    {56000, 56280},   {57600, 58053},   {64000, 64111},   {76800, 77608},    {115200, 117028},
    {128000, 129347}, {153600, 156868}, {230400, 237832}, {250000, 254234},  {256000, 273066},
    {460800, 491520}, {500000, 567138}, {576000, 670254}, {921600, 1053257},
};

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void putLe32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

void cp2102Reset(Registers& r) {
    r.part = 0x02;
    r.rate = 9600;
    r.reg[0] = 0;  // line control, low byte
    r.reg[1] = 8;  // line control, high byte
    r.uartOn = false;
}
bool cp2102Enable(Registers& r, const Setup& s, const Bytes&, Bytes&) {
    r.uartOn = s.value != 0;
    return true;
}
bool cp2102SetRate(Registers& r, const Setup&, const Bytes& data, Bytes&) {
    if (data.size() < 4) {
        return false;
    }
    const uint32_t asked = le32(data.data());
    uint32_t made = asked;
    for (const Cp2102Row& row : CP2102_RATES) {
        if (asked <= row.upTo) {
            made = row.rate;
            break;
        }
    }
    r.rate = made;
    return true;
}
bool cp2102GetRate(Registers& r, const Setup&, const Bytes&, Bytes& reply) {
    putLe32(reply, r.rate);
    return true;
}
bool cp2102SetLine(Registers& r, const Setup& s, const Bytes&, Bytes&) {
    const int stop = s.value & 0x0f;
    const int parity = (s.value >> 4) & 0x0f;
    const int data = (s.value >> 8) & 0x0f;
    if (stop > 2 || parity > 4 || data < 5 || data > 8) {
        return false;
    }
    r.reg[0] = static_cast<uint8_t>(s.value);
    r.reg[1] = static_cast<uint8_t>(s.value >> 8);
    r.stopHalves = stop == 0 ? 2 : stop == 1 ? 3 : 4;
    static const char* const parities[] = {"none", "odd", "even", "mark", "space"};
    r.parity = parities[parity];
    r.dataBits = data;
    return true;
}
bool cp2102GetLine(Registers& r, const Setup&, const Bytes&, Bytes& reply) {
    reply = {r.reg[0], r.reg[1]};
    return true;
}
bool cp2102Modem(Registers& r, const Setup& s, const Bytes&, Bytes&) {
    if ((s.value & 0x100) != 0) {
        r.dtr = (s.value & 0x01) != 0;
    }
    if ((s.value & 0x200) != 0) {
        r.rts = (s.value & 0x02) != 0;
    }
    return true;
}
bool cp2102ModemStatus(Registers& r, const Setup&, const Bytes&, Bytes& reply) {
    reply = {static_cast<uint8_t>((r.dtr ? 0x01 : 0) | (r.rts ? 0x02 : 0))};
    return true;
}
bool cp2102SetFlow(Registers& r, const Setup&, const Bytes& data, Bytes&) {
    if (data.size() < 16) {
        return false;
    }
    std::memcpy(&r.reg[0x40], data.data(), 16);
    const uint32_t handshake = le32(data.data());
    const uint32_t replace = le32(data.data() + 4);
    r.dtr = (handshake & 3) == 1;
    r.rts = ((replace >> 6) & 3) == 1 || ((replace >> 6) & 3) == 2;
    r.flow = (handshake & 0x08) != 0 ? "rtscts" : (replace & 0x03) != 0 ? "xonxoff" : "none";
    return true;
}
bool cp2102GetFlow(Registers& r, const Setup&, const Bytes&, Bytes& reply) {
    reply.assign(&r.reg[0x40], &r.reg[0x40] + 16);
    return true;
}
bool cp2102Events(Registers& r, const Setup& s, const Bytes&, Bytes&) {
    r.escape = static_cast<uint8_t>(s.value);
    return true;
}
bool cp2102Break(Registers& r, const Setup& s, const Bytes&, Bytes&) {
    r.brk = s.value != 0;
    return true;
}
bool cp2102Ok(Registers&, const Setup&, const Bytes&, Bytes&) {
    return true;
}
bool cp2102CommStatus(Registers&, const Setup&, const Bytes&, Bytes& reply) {
    // The amounts in the queues are filled in by the caller.
    reply.assign(19, 0);
    return true;
}
// A CP2101 (part 0x01): one stop bit and eight data bits only, which its driver enforces.
void cp2101Reset(Registers& r) {
    cp2102Reset(r);
    r.part = 0x01;
}
bool cp2102Vendor(Registers& r, const Setup& s, const Bytes&, Bytes& reply) {
    if (s.value != 0x370b) {
        return false;
    }
    reply = {r.part, 0x00};
    return true;
}
const Request CP2102_REQUESTS[] = {
    {0x41, 0x00, cp2102Enable},      {0x41, 0x1e, cp2102SetRate},
    {0xc1, 0x1d, cp2102GetRate},     {0x41, 0x03, cp2102SetLine},
    {0xc1, 0x04, cp2102GetLine},     {0x41, 0x07, cp2102Modem},
    {0xc1, 0x08, cp2102ModemStatus}, {0x41, 0x13, cp2102SetFlow},
    {0xc1, 0x14, cp2102GetFlow},     {0x41, 0x15, cp2102Events},
    {0x41, 0x05, cp2102Break},       {0x41, 0x12, cp2102Ok},
    {0x41, 0x19, cp2102Ok},          {0xc1, 0x10, cp2102CommStatus},
    {0xc0, 0xff, cp2102Vendor},      {0, 0, nullptr},
};

// ---- PL2303 HXD (pl2303 driver) ----------------------------------------------------------------
// Vendor requests 0x01 read one byte (wValue: register, 0x80 and up read back what was written
// below 0x80) and write (wValue: register, wIndex: value); class requests 0x20/0x21 set/get the
// line (7 bytes: rate, stop bits 0 one 1 one and a half 2 two, parity 0 none 1 odd 2 even, data
// bits), 0x22 modem lines (DTR 0x01, RTS 0x02), 0x23 break. A rate is given directly (one of the
// chip's list, any other runs at 9600) or as a divisor with bit 31 set: 12 MHz x 32 / (mantissa
// x 4^exponent), mantissa in bits 0-8, exponent in bits 9-11. Register 0 holds the flow control
// (0x60 RTS/CTS, 0xC0 XON/XOFF).

const uint32_t PL2303_DIRECT[] = {75,      150,     300,     600,    1200,   1800,   2400,
                                  3600,    4800,    7200,    9600,   14400,  19200,  28800,
                                  38400,   57600,   115200,  230400, 460800, 614400, 921600,
                                  1228800, 2457600, 3000000, 6000000};

void pl2303Decode(Registers& r) {
    const uint8_t* line = r.lineRequest;
    if ((line[3] & 0x80) != 0) {
        const uint32_t mantissa = line[0] | (line[1] & 1u) << 8;
        const uint32_t exponent = (line[1] >> 1) & 7u;
        r.rate = mantissa == 0 ? 0 : (384000000u / mantissa) >> (2 * exponent);
    } else {
        const uint32_t asked = le32(line);
        r.rate = 9600;
        for (uint32_t rate : PL2303_DIRECT) {
            if (rate == asked) {
                r.rate = asked;
            }
        }
    }
    r.stopHalves = line[4] == 0 ? 2 : line[4] == 1 ? 3 : 4;
    static const char* const parities[] = {"none", "odd", "even", "mark", "space"};
    r.parity = line[5] < 5 ? parities[line[5]] : "none";
    r.dataBits = line[6];
    const uint8_t flow = r.reg[0] & 0xf0;
    r.flow = flow == 0x60 || flow == 0x40 ? "rtscts" : flow == 0xc0 ? "xonxoff" : "none";
}
void pl2303Reset(Registers& r) {
    const uint8_t line[7] = {0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08};
    std::memcpy(r.lineRequest, line, sizeof line);
    pl2303Decode(r);
}
bool pl2303Read(Registers& r, const Setup& s, const Bytes&, Bytes& reply) {
    reply = {r.reg[(s.value & 0x80) != 0 ? (s.value & 0x7f) : (s.value & 0xff)]};
    return true;
}
bool pl2303Write(Registers& r, const Setup& s, const Bytes&, Bytes&) {
    r.reg[s.value & 0x7f] = static_cast<uint8_t>(s.index);
    pl2303Decode(r);
    return true;
}
bool pl2303SetLine(Registers& r, const Setup&, const Bytes& data, Bytes&) {
    if (data.size() < 7) {
        return false;
    }
    std::memcpy(r.lineRequest, data.data(), 7);
    pl2303Decode(r);
    return true;
}
bool pl2303GetLine(Registers& r, const Setup&, const Bytes&, Bytes& reply) {
    reply.assign(r.lineRequest, r.lineRequest + 7);
    return true;
}
bool pl2303Modem(Registers& r, const Setup& s, const Bytes&, Bytes&) {
    r.dtr = (s.value & 0x01) != 0;
    r.rts = (s.value & 0x02) != 0;
    return true;
}
bool pl2303Break(Registers& r, const Setup& s, const Bytes&, Bytes&) {
    r.brk = s.value != 0;
    return true;
}
const Request PL2303_REQUESTS[] = {
    {0xc0, 0x01, pl2303Read},
    {0x40, 0x01, pl2303Write},
    {0x21, 0x20, pl2303SetLine},
    {0xa1, 0x21, pl2303GetLine},
    {0x21, 0x22, pl2303Modem},
    {0x21, 0x23, pl2303Break},
    {0, 0, nullptr},
};

// ---- FT232R (ftdi_sio driver) ------------------------------------------------------------------
// Vendor requests: 0x00 reset, 0x01 modem lines (DTR bit 0, RTS bit 1, each written when its bit
// 8 or 9 is set), 0x02 flow (wIndex high byte: 0x01 RTS/CTS, 0x02 DTR/DSR, 0x04 XON/XOFF), 0x03
// rate divisor, 0x04 data format (data bits 0-7, parity 8-10, stop bits 11-13: 0 one 1 one and a
// half 2 two, break bit 14), 0x05 modem status, 0x06/0x07 event and error characters, 0x09/0x0A
// latency timer, 0x90 EEPROM word. The divisor is 3 MHz / (n + fraction): n in bits 0-13, the
// fraction's code in bits 14-16 (wIndex bit 0 is bit 16); n 0 is 3 MBd, n 1 is 2 MBd.

bool ftdiOk(Registers&, const Setup&, const Bytes&, Bytes&) {
    return true;
}
bool ftdiModem(Registers& r, const Setup& s, const Bytes&, Bytes&) {
    if ((s.value & 0x100) != 0) {
        r.dtr = (s.value & 0x01) != 0;
    }
    if ((s.value & 0x200) != 0) {
        r.rts = (s.value & 0x02) != 0;
    }
    return true;
}
bool ftdiFlow(Registers& r, const Setup& s, const Bytes&, Bytes&) {
    const int kind = s.index >> 8;
    r.flow = (kind & 1) != 0   ? "rtscts"
             : (kind & 2) != 0 ? "dtrdsr"
             : (kind & 4) != 0 ? "xonxoff"
                               : "none";
    return true;
}
bool ftdiRate(Registers& r, const Setup& s, const Bytes&, Bytes&) {
    const uint32_t divisor = s.value | (s.index & 1u) << 16;
    const uint32_t whole = divisor & 0x3fff;
    static const uint32_t eighths[] = {0, 4, 2, 1, 3, 5, 6, 7};
    const uint32_t fraction = eighths[(divisor >> 14) & 7];
    if (whole == 0 && fraction == 0) {
        r.rate = 3000000;
    } else if (whole == 1 && fraction == 0) {
        r.rate = 2000000;
    } else {
        r.rate = static_cast<uint32_t>(24000000ull / (whole * 8 + fraction));
    }
    return true;
}
bool ftdiData(Registers& r, const Setup& s, const Bytes&, Bytes&) {
    r.dataBits = s.value & 0xff;
    static const char* const parities[] = {"none", "odd", "even", "mark", "space"};
    const int parity = (s.value >> 8) & 7;
    r.parity = parity < 5 ? parities[parity] : "none";
    const int stop = (s.value >> 11) & 7;
    r.stopHalves = stop == 0 ? 2 : stop == 1 ? 3 : 4;
    r.brk = (s.value & 0x4000) != 0;
    return true;
}
bool ftdiModemStatus(Registers&, const Setup&, const Bytes&, Bytes& reply) {
    reply = {0x01, 0x60};
    return true;
}
bool ftdiSetLatency(Registers& r, const Setup& s, const Bytes&, Bytes&) {
    r.latencyMs = s.value & 0xff;
    return true;
}
bool ftdiGetLatency(Registers& r, const Setup&, const Bytes&, Bytes& reply) {
    reply = {static_cast<uint8_t>(r.latencyMs)};
    return true;
}
bool ftdiEeprom(Registers&, const Setup&, const Bytes&, Bytes& reply) {
    reply = {0xff, 0xff};
    return true;
}
void ftdiReset(Registers& r) {
    r.rate = 9600;
    r.latencyMs = 16;
}
const Request FTDI_REQUESTS[] = {
    {0x40, 0x00, ftdiOk},         {0x40, 0x01, ftdiModem},  {0x40, 0x02, ftdiFlow},
    {0x40, 0x03, ftdiRate},       {0x40, 0x04, ftdiData},   {0xc0, 0x05, ftdiModemStatus},
    {0x40, 0x06, ftdiOk},         {0x40, 0x07, ftdiOk},     {0x40, 0x09, ftdiSetLatency},
    {0xc0, 0x0a, ftdiGetLatency}, {0xc0, 0x90, ftdiEeprom}, {0, 0, nullptr},
};

// The chips: descriptors as the real parts give them (the strings are this bench's own), the
// endpoints (address, 2 bulk or 3 interrupt, packet size, interval), the FIFOs.
// clang-format off
const Model MODELS[] = {
    {"ch340", 0x1a86, 0x7523, 0x0110, 0x0254, 0xff, 8, nullptr, "USB Serial", nullptr, 0xff, 1, 2,
     {{0x82, 2, 32, 0}, {0x02, 2, 32, 0}, {0x81, 3, 8, 1}}, 3, 0x82, 0x02, 0x81, 32, 32,
     Framing::PLAIN, CH340_REQUESTS, ch340Reset},
    {"cp2102", 0x10c4, 0xea60, 0x0110, 0x0100, 0x00, 64, "Bench", "USB to UART Bridge Controller",
     "0001", 0xff, 0, 0, {{0x81, 2, 64, 0}, {0x01, 2, 64, 0}}, 2, 0x81, 0x01, 0, 640, 576,
     Framing::CP210X_EVENTS, CP2102_REQUESTS, cp2102Reset},
    {"cp2101", 0x10c4, 0xea60, 0x0110, 0x0100, 0x00, 64, "Bench", "USB to UART Bridge Controller",
     "0002", 0xff, 0, 0, {{0x81, 2, 64, 0}, {0x01, 2, 64, 0}}, 2, 0x81, 0x01, 0, 512, 512,
     Framing::CP210X_EVENTS, CP2102_REQUESTS, cp2101Reset},
    {"pl2303", 0x067b, 0x2303, 0x0110, 0x0400, 0x00, 64, "Bench", "USB-Serial Controller", nullptr,
     0xff, 0, 0, {{0x81, 3, 10, 1}, {0x02, 2, 64, 0}, {0x83, 2, 64, 0}}, 3, 0x83, 0x02, 0x81, 256,
     256, Framing::PL2303_STATUS, PL2303_REQUESTS, pl2303Reset},
    {"ft232r", 0x0403, 0x6001, 0x0200, 0x0600, 0x00, 8, "Bench", "FT232R USB UART", "QORVFT1", 0xff,
     0xff, 0xff, {{0x81, 2, 64, 0}, {0x02, 2, 64, 0}}, 2, 0x81, 0x02, 0, 128, 256,
     Framing::FTDI_STATUS, FTDI_REQUESTS, ftdiReset},
};
// clang-format on

// ---- Descriptors -------------------------------------------------------------------------------

uint8_t low(unsigned v) {
    return static_cast<uint8_t>(v);
}
uint8_t high(unsigned v) {
    return static_cast<uint8_t>(v >> 8);
}

// clang-format off
Bytes deviceDescriptor(const Model& m) {
    return {18, 1, low(m.bcdUsb), high(m.bcdUsb), m.deviceClass, 0, 0, m.maxPacket0, low(m.vid),
            high(m.vid), low(m.pid), high(m.pid), low(m.bcdDevice), high(m.bcdDevice),
            low(m.manufacturer != nullptr ? 1 : 0), 2, low(m.serial != nullptr ? 3 : 0), 1};
}

// One configuration (self-powered no, 98 mA) with one interface.
Bytes configurationDescriptor(const Model& m) {
    const unsigned total = 9 + 9 + 7 * static_cast<unsigned>(m.endpointCount);
    Bytes d = {9, 2, low(total), high(total), 1, 1, 0, 0x80, 49,
               9, 4, 0, 0, low(static_cast<unsigned>(m.endpointCount)), m.interfaceClass,
               m.interfaceSubClass, m.interfaceProtocol, 0};
    for (int i = 0; i < m.endpointCount; ++i) {
        const Endpoint& e = m.endpoints[i];
        d.insert(d.end(), {7, 5, e.address, e.attributes, low(e.maxPacket), high(e.maxPacket),
                           e.interval});
    }
    return d;
}
// clang-format on

Bytes stringDescriptor(const char* text) {
    Bytes d = {0, 3};
    for (const char* c = text; *c != '\0'; ++c) {
        d.push_back(static_cast<uint8_t>(*c));
        d.push_back(0);
    }
    d[0] = static_cast<uint8_t>(d.size());
    return d;
}

// ---- USB/IP ------------------------------------------------------------------------------------

constexpr uint32_t CMD_SUBMIT = 1;
constexpr uint32_t CMD_UNLINK = 2;
constexpr uint32_t RET_SUBMIT = 3;
constexpr uint32_t RET_UNLINK = 4;
constexpr int32_t STATUS_STALL = -EPIPE;
constexpr int32_t STATUS_UNLINKED = -ECONNRESET;
constexpr uint32_t SPEED_FULL = 2;
constexpr uint32_t BUS = 1;
constexpr uint32_t DEVICE_NUMBER = 2;

uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void putBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
void putBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

bool readAll(int fd, uint8_t* into, size_t size) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, into + got, size - got);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}
bool writeAll(int fd, const uint8_t* bytes, size_t size) {
    size_t put = 0;
    while (put < size) {
        const ssize_t n = write(fd, bytes + put, size - put);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        put += static_cast<size_t>(n);
    }
    return true;
}

struct Urb {
    uint32_t seq;
    uint8_t endpoint;
    int32_t length;
    Bytes data;    // OUT: what the host sent
    size_t taken;  // OUT: bytes the chip has taken into its FIFO
};

// One byte on the line: its value, the line error it carries (0 none, 'f', 'p', 'b'), and when its
// last bit has arrived.
struct LineByte {
    uint8_t value;
    char error;
    int64_t at;
};

class Chip {
  public:
    Chip(const Model& model, const std::string& name, int vhciPort, int peer, FILE* state)
        : model(model), name(name), vhciPort(vhciPort), peer(peer), state(state) {}

    bool plug();
    void unplug();
    void control(const char* command);
    // One turn of the loop: what the socket, the terminal and the clock have for the chip; returns
    // at the latest when `commands` has some.
    void turn(int commands);

  private:
    void resetChip();
    void serve();
    void submit(const uint8_t* header);
    void unlink(const uint8_t* header);
    void answer(uint32_t seq, int32_t status, const uint8_t* data, int32_t length);
    void controlRequest(uint32_t seq, const Setup& setup, const Bytes& data);
    void moveLine(int64_t now);
    void deliver(int64_t now);
    void tellState();
    int64_t byteNs() const;
    bool garbled() const;
    int64_t nextWake(int64_t now) const;

    const Model& model;
    std::string name;
    int vhciPort;
    int peer;
    FILE* state;
    int socket = -1;
    Registers regs;
    std::string told;
    bool stalled = false;
    bool leaving = false;  // unplugged as soon as its transmitter is idle
    uint32_t deviceRate = 115200;
    std::deque<Urb> outUrbs;
    std::deque<Urb> inUrbs;
    std::deque<Urb> interruptUrbs;
    std::deque<uint8_t> txFifo;
    int64_t txDoneAt = 0;  // when the byte now being sent has left
    std::deque<LineByte> arriving;
    int64_t rxLineFreeAt = 0;
    std::deque<LineByte> rxFifo;
    int64_t lastPacketAt = 0;
    std::deque<char> noise;       // line errors still to come, one byte each
    std::deque<char> armedNoise;  // line errors that come after the host next sends
    uint8_t pendingStatus = 0;    // PL2303: line errors to report before their bytes

  public:
    int64_t wakeAt = 0;
    int socketFd() const { return socket; }
};

int64_t Chip::byteNs() const {
    const int64_t rate = regs.rate > 0 ? regs.rate : 1;
    const int bits =
        1 + regs.dataBits + (std::strcmp(regs.parity, "none") != 0 ? 1 : 0) + regs.stopHalves / 2;
    return bits * 1000000000LL / rate;
}

// A UART receiving at another rate, or another frame, sees garbage with framing errors.
bool Chip::garbled() const {
    const double off = static_cast<double>(regs.rate) / static_cast<double>(deviceRate) - 1.0;
    return off > 0.04 || off < -0.04 || regs.dataBits != 8 || std::strcmp(regs.parity, "none") != 0;
}

void Chip::tellState() {
    char line[256];
    const char* stop = regs.stopHalves == 2 ? "1" : regs.stopHalves == 3 ? "1.5" : "2";
    const int length = std::snprintf(
        line, sizeof line,
        "STATE chip=%s rate=%u data=%d parity=%s stop=%s flow=%s dtr=%d rts=%d break=%d",
        name.c_str(), regs.rate, regs.dataBits, regs.parity, stop, regs.flow, regs.dtr ? 1 : 0,
        regs.rts ? 1 : 0, regs.brk ? 1 : 0);
    std::snprintf(line + length, sizeof line - static_cast<size_t>(length), "%s\n",
                  model.framing == Framing::FTDI_STATUS
                      ? (" latency=" + std::to_string(regs.latencyMs)).c_str()
                      : "");
    if (told != line) {
        told = line;
        std::fputs(line, state);
        std::fflush(state);
    }
}

void Chip::resetChip() {
    regs = Registers();
    model.reset(regs);
    outUrbs.clear();
    inUrbs.clear();
    interruptUrbs.clear();
    txFifo.clear();
    arriving.clear();
    rxFifo.clear();
    pendingStatus = 0;
    tellState();
}

// Plugs the chip in: the import exchange on one end of a socket pair, then the other end and the
// device's address go to vhci-hcd's attach file, as the USB/IP tools do after an import.
bool Chip::plug() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
        std::perror("socketpair");
        return false;
    }
    resetChip();
    socket = ends[1];
    uint8_t request[40] = {};
    putBe16(request, 0x0111);
    putBe16(request + 2, 0x8003);
    std::snprintf(reinterpret_cast<char*>(request + 8), 32, "%u-%d", BUS, vhciPort + 1);
    uint8_t got[40];
    if (!writeAll(ends[0], request, sizeof request) || !readAll(socket, got, sizeof got) ||
        be32(got) >> 16 != 0x0111 || (be32(got) & 0xffff) != 0x8003) {
        return false;
    }
    uint8_t reply[8 + 312] = {};
    putBe16(reply, 0x0111);
    putBe16(reply + 2, 0x0003);
    uint8_t* device = reply + 8;
    std::snprintf(reinterpret_cast<char*>(device), 256, "/sys/devices/bench/%s", name.c_str());
    std::memcpy(device + 256, got + 8, 32);
    putBe32(device + 288, BUS);
    putBe32(device + 292, DEVICE_NUMBER);
    putBe32(device + 296, SPEED_FULL);
    putBe16(device + 300, model.vid);
    putBe16(device + 302, model.pid);
    putBe16(device + 304, model.bcdDevice);
    device[306] = model.deviceClass;
    device[309] = 1;  // configuration value
    device[310] = 1;  // configurations
    device[311] = 1;  // interfaces
    uint8_t imported[sizeof reply];
    if (!writeAll(socket, reply, sizeof reply) || !readAll(ends[0], imported, sizeof imported) ||
        be32(imported + 4) != 0) {
        return false;
    }
    const uint32_t devid = be32(imported + 8 + 288) << 16 | be32(imported + 8 + 292);
    const uint32_t speed = be32(imported + 8 + 296);
    FILE* attach = std::fopen("/sys/devices/platform/vhci_hcd.0/attach", "w");
    if (attach == nullptr) {
        std::perror("vhci attach");
        return false;
    }
    std::fprintf(attach, "%d %d %u %u\n", vhciPort, ends[0], devid, speed);
    const bool attached = std::fclose(attach) == 0;
    close(ends[0]);
    if (!attached) {
        std::perror("vhci attach");
    }
    return attached;
}

void Chip::unplug() {
    if (socket < 0) {
        return;
    }
    FILE* detach = std::fopen("/sys/devices/platform/vhci_hcd.0/detach", "w");
    if (detach != nullptr) {
        std::fprintf(detach, "%d\n", vhciPort);
        std::fclose(detach);
    }
    close(socket);
    socket = -1;
}

void Chip::control(const char* command) {
    char kind[16] = {};
    unsigned count = 0;
    if (std::strcmp(command, "unplug") == 0) {
        leaving = socket >= 0;
        wakeAt = 0;
    } else if (std::strcmp(command, "plug") == 0) {
        if (socket < 0) {
            plug();
        }
    } else if (std::strcmp(command, "stall") == 0) {
        stalled = true;
    } else if (std::strcmp(command, "unstall") == 0) {
        stalled = false;
    } else if (std::sscanf(command, "noise %15s %u", kind, &count) == 2) {
        armedNoise.insert(armedNoise.end(), count, kind[0]);
    } else if (std::sscanf(command, "line %u", &count) == 1 && count > 0) {
        deviceRate = count;
    } else {
        std::fprintf(stderr, "usbchip: unknown command: %s\n", command);
    }
}

void Chip::answer(uint32_t seq, int32_t status, const uint8_t* data, int32_t length) {
    uint8_t header[48] = {};
    putBe32(header, RET_SUBMIT);
    putBe32(header + 4, seq);
    putBe32(header + 20, static_cast<uint32_t>(status));
    putBe32(header + 24, static_cast<uint32_t>(length));
    Bytes out(header, header + sizeof header);
    if (data != nullptr && length > 0) {
        out.insert(out.end(), data, data + length);
    }
    writeAll(socket, out.data(), out.size());
}

void Chip::controlRequest(uint32_t seq, const Setup& s, const Bytes& data) {
    Bytes reply;
    bool known = false;
    if ((s.type & 0x60) == 0) {
        // Standard requests.
        if (s.request == 6 && s.type == 0x80) {
            const int kind = s.value >> 8;
            const int index = s.value & 0xff;
            known = true;
            if (kind == 1) {
                reply = deviceDescriptor(model);
            } else if (kind == 2) {
                reply = configurationDescriptor(model);
            } else if (kind == 3 && index == 0) {
                reply = {4, 3, 0x09, 0x04};
            } else if (kind == 3 && index == 1 && model.manufacturer != nullptr) {
                reply = stringDescriptor(model.manufacturer);
            } else if (kind == 3 && index == 2) {
                reply = stringDescriptor(model.product);
            } else if (kind == 3 && index == 3 && model.serial != nullptr) {
                reply = stringDescriptor(model.serial);
            } else {
                known = false;
            }
        } else if (s.request == 0 && (s.type & 0x80) != 0) {
            reply = {0, 0};
            known = true;
        } else if (s.request == 9 || s.request == 11 || s.request == 1 || s.request == 3) {
            // Set configuration, set interface, clear or set a feature.
            known = true;
        } else if (s.request == 8) {
            reply = {1};
            known = true;
        }
    } else {
        for (const Request* r = model.requests; r->handle != nullptr && !known; ++r) {
            if (r->type == s.type && r->request == s.request) {
                known = r->handle(regs, s, data, reply);
            }
        }
        if (known && model.framing == Framing::CP210X_EVENTS && s.request == 0x10) {
            // Status: bytes waiting to be sent, and received.
            const uint32_t outQueue = static_cast<uint32_t>(txFifo.size());
            const uint32_t inQueue = static_cast<uint32_t>(rxFifo.size());
            for (int i = 0; i < 4; ++i) {
                reply[8 + i] = static_cast<uint8_t>(inQueue >> (8 * i));
                reply[12 + i] = static_cast<uint8_t>(outQueue >> (8 * i));
            }
        }
        tellState();
    }
    if (!known) {
        answer(seq, STATUS_STALL, nullptr, 0);
        return;
    }
    if ((s.type & 0x80) != 0) {
        const int32_t length = static_cast<int32_t>(reply.size()) < s.length
                                   ? static_cast<int32_t>(reply.size())
                                   : s.length;
        answer(seq, 0, reply.data(), length);
    } else {
        answer(seq, 0, nullptr, static_cast<int32_t>(data.size()));
    }
}

void Chip::submit(const uint8_t* header) {
    Urb urb{};
    urb.seq = be32(header + 4);
    const bool in = be32(header + 12) == 1;
    urb.endpoint = static_cast<uint8_t>(be32(header + 16) | (in ? 0x80 : 0));
    urb.length = static_cast<int32_t>(be32(header + 24));
    Setup setup{};
    setup.type = header[40];
    setup.request = header[41];
    setup.value = static_cast<uint16_t>(header[42] | header[43] << 8);
    setup.index = static_cast<uint16_t>(header[44] | header[45] << 8);
    setup.length = static_cast<uint16_t>(header[46] | header[47] << 8);
    if (!in && urb.length > 0) {
        urb.data.resize(static_cast<size_t>(urb.length));
        if (!readAll(socket, urb.data.data(), urb.data.size())) {
            return;
        }
    }
    if ((urb.endpoint & 0x7f) == 0) {
        controlRequest(urb.seq, setup, urb.data);
    } else if (urb.endpoint == model.bulkOut) {
        outUrbs.push_back(urb);
    } else if (urb.endpoint == model.bulkIn) {
        inUrbs.push_back(urb);
    } else if (urb.endpoint == model.interruptIn && model.interruptIn != 0) {
        interruptUrbs.push_back(urb);
    } else {
        answer(urb.seq, STATUS_STALL, nullptr, 0);
    }
}

void Chip::unlink(const uint8_t* header) {
    const uint32_t seq = be32(header + 4);
    const uint32_t victim = be32(header + 20);
    int32_t status = 0;
    for (std::deque<Urb>* queue : {&outUrbs, &inUrbs, &interruptUrbs}) {
        for (auto it = queue->begin(); it != queue->end(); ++it) {
            if (it->seq == victim) {
                queue->erase(it);
                status = STATUS_UNLINKED;
                break;
            }
        }
    }
    uint8_t reply[48] = {};
    putBe32(reply, RET_UNLINK);
    putBe32(reply + 4, seq);
    putBe32(reply + 20, static_cast<uint32_t>(status));
    writeAll(socket, reply, sizeof reply);
}

// Reads what the kernel sent: the whole of each request.
void Chip::serve() {
    uint8_t header[48];
    if (!readAll(socket, header, sizeof header)) {
        // The kernel let go of the device (detached).
        close(socket);
        socket = -1;
        return;
    }
    const uint32_t command = be32(header);
    if (command == CMD_SUBMIT) {
        submit(header);
    } else if (command == CMD_UNLINK) {
        unlink(header);
    }
}

// The line: bytes the chip sends leave its FIFO one byte time apart and reach the device; bytes
// the device sends (and noise) arrive one byte time apart into the chip's receive FIFO.
void Chip::moveLine(int64_t now) {
    // Bulk OUT: a packet is taken when the FIFO has room for it.
    while (!stalled && !outUrbs.empty()) {
        Urb& urb = outUrbs.front();
        while (urb.taken < urb.data.size() && txFifo.size() < model.txFifo) {
            txFifo.push_back(urb.data[urb.taken++]);
        }
        if (urb.taken < urb.data.size()) {
            break;
        }
        answer(urb.seq, 0, nullptr, urb.length);
        outUrbs.pop_front();
        noise.insert(noise.end(), armedNoise.begin(), armedNoise.end());
        armedNoise.clear();
    }
    const int64_t oneByte = byteNs();
    if (txFifo.empty()) {
        txDoneAt = 0;
    }
    while (!txFifo.empty() && regs.uartOn && !regs.brk) {
        if (txDoneAt == 0) {
            txDoneAt = now + oneByte;
        }
        if (txDoneAt > now) {
            break;
        }
        uint8_t byte = txFifo.front();
        txFifo.pop_front();
        if (garbled()) {
            byte = static_cast<uint8_t>(byte ^ 0xa5);
        }
        (void)!write(peer, &byte, 1);
        txDoneAt = txFifo.empty() ? 0 : txDoneAt + oneByte;
    }
    // Receive: what the device has sent comes in at the line's pace.
    if (arriving.size() < 64 && regs.uartOn) {
        uint8_t bytes[64];
        const ssize_t got = read(peer, bytes, sizeof bytes - arriving.size());
        for (ssize_t i = 0; i < got; ++i) {
            rxLineFreeAt = (rxLineFreeAt > now ? rxLineFreeAt : now) + oneByte;
            const bool bad = garbled();
            arriving.push_back({static_cast<uint8_t>(bad ? bytes[i] ^ 0x5a : bytes[i]),
                                bad ? 'f' : '\0', rxLineFreeAt});
        }
    }
    while (!noise.empty() && arriving.size() < 64) {
        const char kind = noise.front();
        noise.pop_front();
        rxLineFreeAt = (rxLineFreeAt > now ? rxLineFreeAt : now) + oneByte;
        arriving.push_back({static_cast<uint8_t>(kind == 'b' ? 0x00 : 0xf0), kind, rxLineFreeAt});
    }
    while (!arriving.empty() && arriving.front().at <= now && rxFifo.size() < model.rxFifo) {
        rxFifo.push_back(arriving.front());
        arriving.pop_front();
    }
}

// Hands received bytes to the host as the chip does.
void Chip::deliver(int64_t now) {
    if (model.framing == Framing::FTDI_STATUS) {
        // Packets of two status bytes and up to 62 bytes of data: sent when 62 bytes are there or
        // the latency timer runs out (then with what there is, maybe nothing). A byte with a line
        // error ends its packet, whose status then carries the error.
        const int64_t latency =
            static_cast<int64_t>(regs.latencyMs > 0 ? regs.latencyMs : 1) * 1000000;
        while (!inUrbs.empty() && (rxFifo.size() >= 62 || now - lastPacketAt >= latency)) {
            Urb urb = inUrbs.front();
            inUrbs.pop_front();
            Bytes out;
            while (static_cast<int32_t>(out.size()) + 2 <= urb.length) {
                uint8_t status = 0x60;
                Bytes packet;
                while (!rxFifo.empty() && packet.size() < 62) {
                    const LineByte b = rxFifo.front();
                    rxFifo.pop_front();
                    packet.push_back(b.value);
                    if (b.error != 0) {
                        status |= b.error == 'b' ? 0x10 : b.error == 'p' ? 0x04 : 0x08;
                        break;
                    }
                }
                out.push_back(0x01);
                out.push_back(status);
                out.insert(out.end(), packet.begin(), packet.end());
                if (packet.size() < 62 || rxFifo.empty()) {
                    break;
                }
            }
            answer(urb.seq, 0, out.data(), static_cast<int32_t>(out.size()));
            lastPacketAt = now;
        }
        return;
    }
    if (model.framing == Framing::PL2303_STATUS) {
        // A byte with a line error: the error goes out on the interrupt endpoint first, and the
        // byte alone in the next bulk transfer (the driver flags a whole transfer).
        if (!rxFifo.empty() && rxFifo.front().error != 0 && pendingStatus == 0) {
            if (interruptUrbs.empty()) {
                return;
            }
            const char e = rxFifo.front().error;
            const uint8_t bits = e == 'b' ? 0x04 : e == 'p' ? 0x20 : 0x10;
            uint8_t status[10] = {0xa1, 0x20, 0, 0, 0, 0, 2, 0, bits, 0};
            Urb urb = interruptUrbs.front();
            interruptUrbs.pop_front();
            answer(urb.seq, 0, status, urb.length < 10 ? urb.length : 10);
            pendingStatus = bits;
            return;
        }
    }
    while (!inUrbs.empty() && !rxFifo.empty()) {
        Urb urb = inUrbs.front();
        inUrbs.pop_front();
        Bytes out;
        while (!rxFifo.empty() && static_cast<int32_t>(out.size()) + 4 <= urb.length) {
            const LineByte b = rxFifo.front();
            if (model.framing == Framing::PL2303_STATUS && !out.empty() && b.error != 0) {
                break;
            }
            rxFifo.pop_front();
            if (model.framing == Framing::CP210X_EVENTS && regs.escape != 0) {
                if (b.error != 0) {
                    const uint8_t lsr = b.error == 'b' ? 0x10 : b.error == 'p' ? 0x04 : 0x08;
                    out.insert(out.end(), {regs.escape, 0x01, lsr, b.value});
                    continue;
                }
                if (b.value == regs.escape) {
                    out.insert(out.end(), {regs.escape, 0x00});
                    continue;
                }
            }
            out.push_back(b.value);
            if (model.framing == Framing::PL2303_STATUS && pendingStatus != 0) {
                pendingStatus = 0;
                break;
            }
        }
        answer(urb.seq, 0, out.data(), static_cast<int32_t>(out.size()));
    }
}

int64_t Chip::nextWake(int64_t now) const {
    int64_t wake = now + 1000000000;
    const auto sooner = [&wake](int64_t at) {
        if (at > 0 && at < wake) {
            wake = at;
        }
    };
    if (!txFifo.empty()) {
        sooner(txDoneAt);
    }
    if (!arriving.empty()) {
        sooner(arriving.front().at);
    }
    if (!noise.empty() || (!outUrbs.empty() && !stalled)) {
        sooner(now + 250000);
    }
    if (model.framing == Framing::FTDI_STATUS && !inUrbs.empty()) {
        sooner(lastPacketAt +
               static_cast<int64_t>(regs.latencyMs > 0 ? regs.latencyMs : 1) * 1000000);
    }
    // Full speed USB: nothing finer than a quarter of a frame.
    return wake < now + 250000 ? now + 250000 : wake;
}

void Chip::turn(int commands) {
    const int64_t now = nowNs();
    pollfd watched[3] = {{commands, POLLIN, 0}, {socket, POLLIN, 0}, {peer, POLLIN, 0}};
    const bool room = arriving.size() < 64 && regs.uartOn;
    const int64_t wait = wakeAt > now ? wakeAt - now : 0;
    timespec limit{static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
    if (ppoll(watched, room ? 3 : 2, &limit, nullptr) > 0 &&
        (watched[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        serve();
    }
    if (socket < 0) {
        return;
    }
    const int64_t after = nowNs();
    moveLine(after);
    deliver(after);
    if (leaving && (stalled || (txFifo.empty() && outUrbs.empty()))) {
        leaving = false;
        unplug();
        return;
    }
    wakeAt = nextWake(after);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: usbchip CHIP VHCI-PORT PEER CONTROL STATE\n");
        return 2;
    }
    const std::string name = argv[1];
    const std::string kind = name.substr(0, name.find('-'));
    const Model* model = nullptr;
    for (const Model& m : MODELS) {
        if (kind == m.name) {
            model = &m;
        }
    }
    const int peer = open(argv[3], O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    if (model == nullptr || peer < 0 || tcgetattr(peer, &tio) != 0) {
        std::fprintf(stderr, "usbchip: no chip %s or no terminal %s\n", argv[1], argv[3]);
        return 2;
    }
    cfmakeraw(&tio);
    tcsetattr(peer, TCSANOW, &tio);
    mkfifo(argv[4], 0600);
    // Opened for writing too, so that the fifo never reads as ended between commands.
    const int commands = open(argv[4], O_RDWR | O_NONBLOCK);
    FILE* state = std::fopen(argv[5], "a");
    if (commands < 0 || state == nullptr) {
        std::perror("usbchip");
        return 2;
    }
    Chip chip(*model, name, std::atoi(argv[2]), peer, state);
    if (!chip.plug()) {
        return 1;
    }
    std::string pending;
    for (;;) {
        if (chip.socketFd() >= 0) {
            chip.turn(commands);
        } else {
            pollfd watch{commands, POLLIN, 0};
            poll(&watch, 1, 1000);
        }
        char bytes[256];
        const ssize_t got = read(commands, bytes, sizeof bytes);
        if (got > 0) {
            pending.append(bytes, static_cast<size_t>(got));
        }
        for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            chip.control(pending.substr(0, end).c_str());
            pending.erase(0, end + 1);
        }
    }
}
