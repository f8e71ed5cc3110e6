// The line settings and timeouts the Win32 back end computes, checked on Windows itself (under
// wine in the Windows suite): wine ignores most DCB flags, so they cannot be read back from a
// port. Exits 0 when every check holds.
#include <windows.h>

#include <cstdio>

#include "channel/win32_line.h"

namespace {

int failures = 0;

void expect(bool holds, const char* what) {
    if (!holds) {
        std::printf("FAILED: %s\n", what);
        ++failures;
    }
}

}  // namespace

int main() {
    // Everything another program could have left set: every flag, a handshaking DTR, not binary,
    // 7E, equal XON and XOFF characters.
    DCB dcb;
    FillMemory(&dcb, sizeof dcb, 0xFF);
    dcb.fBinary = FALSE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    qorv::platform::applyLineSettings(&dcb, 57600, true);
    expect(dcb.BaudRate == 57600, "baud rate");
    expect(dcb.fBinary && !dcb.fParity, "binary, no parity check");
    expect(!dcb.fOutxCtsFlow && !dcb.fOutxDsrFlow && !dcb.fDsrSensitivity, "no CTS/DSR control");
    expect(!dcb.fOutX && !dcb.fInX, "no XON/XOFF");
    expect(!dcb.fNull && !dcb.fErrorChar, "no byte dropped or replaced");
    expect(!dcb.fAbortOnError, "no abort on error");
    expect(dcb.fRtsControl == RTS_CONTROL_ENABLE, "RTS on");
    expect(dcb.fDtrControl == DTR_CONTROL_ENABLE, "DTR raised, not handshaking");
    expect(dcb.ByteSize == 8 && dcb.Parity == NOPARITY && dcb.StopBits == TWOSTOPBITS, "8N2");
    expect(dcb.XonChar != dcb.XoffChar, "XON and XOFF characters apart");
    qorv::platform::applyLineSettings(&dcb, 57600, false);
    expect(dcb.StopBits == ONESTOPBIT, "8N1 fallback");

    struct Case {
        int32_t rate;
        bool twoStopBits;
        DWORD multiplier;
    };
    // One byte time rounded up, plus 1 ms: 11 bits at 115200 is 0.1 ms, at 9600 1.15 ms.
    const Case cases[] = {
        {115200, true, 2}, {9600, true, 3}, {9600, false, 3}, {300, true, 38}, {300, false, 35}};
    for (const Case& c : cases) {
        COMMTIMEOUTS timeouts;
        ZeroMemory(&timeouts, sizeof timeouts);
        qorv::platform::applyTimeouts(&timeouts, c.rate, c.twoStopBits);
        char what[64];
        std::snprintf(what, sizeof what, "timeouts at %d", static_cast<int>(c.rate));
        expect(timeouts.ReadIntervalTimeout == MAXDWORD &&
                   timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
                   timeouts.ReadTotalTimeoutConstant == 1 &&
                   timeouts.WriteTotalTimeoutConstant == 500 &&
                   timeouts.WriteTotalTimeoutMultiplier == c.multiplier,
               what);
    }
    std::printf("line settings: %d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
