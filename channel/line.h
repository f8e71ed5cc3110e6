// One way to a device: a tty, a COM port, or a serial line on a device server. DeviceChannel
// holds one while it is open on a port; each kind is one implementation, made in room the
// channel owns (nothing is allocated). Every wait of a line is bounded by the time it is given,
// on the one clock (channel/clock.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "channel/os_handle.h"

namespace qorv {

class Line {
  public:
    Line() = default;
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    // Closes the line, giving up what it holds (a lock, an exclusive mark, a driver mode).
    virtual ~Line() = default;

    // Up to `count` bytes that have come. When none has, waits up to `waitUs` microseconds (0: not
    // at all; a line that cannot wait so finely waits its next step) for the first one. A failed
    // read, or a line that hung up, keeps its error (ioError()).
    virtual int32_t read(uint8_t* buffer, int32_t count, int32_t waitUs) = 0;
    // Writes `count` bytes, giving up at `untilMs` on the clock when the line does not take them
    // (a stall keeps its error); returns the number written.
    virtual int32_t write(const uint8_t* bytes, int32_t count, int32_t untilMs) = 0;
    // Discards what both directions hold, waiting no later than `untilMs`.
    virtual void purge(int32_t untilMs) = 0;
    // Bytes received and not read, as far as the line counts them (never more than there are);
    // -1 when it cannot tell.
    virtual int32_t queued() { return -1; }
    // The errors the driver counted on the line since it was opened; false when it keeps none.
    virtual bool lineErrors(LineErrors*) { return false; }
    // The name of the port's driver when it is known to report no line errors (the chip does not
    // tell them, or the driver only marks the bytes); nullptr otherwise.
    virtual const char* driverWithoutLineErrors() const { return nullptr; }
    // Called when an exchange got nothing back: keeps a write stall as the line's error when
    // what was written is still waiting to be sent (an adapter that stopped taking data while
    // its driver took the bytes).
    virtual void noteUnsent() {}
    // The stop bits the line sends: 2, or 1 where the port would not take two.
    virtual int32_t stopBits() const { return 2; }
    // A device server's connection: a hang-up is the server closing it.
    virtual bool isServer() const { return false; }

    // The first failed read or write since clearError(), 0 if none.
    int ioError() const { return firstError; }
    void clearError() { firstError = 0; }

  protected:
    void keepFirst(int error) {
        if (firstError == 0) {
            firstError = error;
        }
    }

  private:
    int firstError = 0;
};

// Room for the line of one channel: the largest implementation fits (each checks it does).
struct LineSlot {
    static constexpr size_t SIZE = 4096;
    alignas(16) unsigned char bytes[SIZE];
};

// What a failed open says beyond its error code: the call that failed, and for a rate the port's
// clock cannot make, the rates it makes near it.
struct OpenFailure {
    OpenCall call = CALL_OPEN;
    int32_t rateAsked = 0;
    int32_t rateBelow = 0;
    int32_t rateAbove = 0;
};

}  // namespace qorv
