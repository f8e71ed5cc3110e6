// A tty as a line: termios, poll() and non-blocking reads and writes.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <initializer_list>
#include <new>

#include "channel/clock.h"
#include "channel/platform.h"
#include "channel/poll_posix.h"
#include "channel/posix_codes.h"
#include "channel/tty_extras.h"

namespace qorv {
namespace platform {

namespace {

// What a handler of a signal that ends the process must put back for each open tty: its
// exclusive mark and the driver's latency mode. Written before the handler can need them.
struct SignalRelease {
    volatile sig_atomic_t fd = -1;
    volatile sig_atomic_t latencyLowered = 0;
    volatile sig_atomic_t savedLatency = 0;
};
SignalRelease signalReleases[4];

speed_t standardSpeed(int32_t baudRate) {
    struct Entry {
        int32_t rate;
        speed_t speed;
    };
    static const Entry table[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},
#ifdef B460800
        {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
        {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
        {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
    };
    for (const Entry& entry : table) {
        if (entry.rate == baudRate) {
            return entry.speed;
        }
    }
    return B0;
}

void makeRaw(termios* tio, bool twoStopBits) {
    tio->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                           ICRNL | IXON | IXOFF | IXANY | IGNPAR);
    // Input checked: some drivers count line errors only then (cp210x turns on its chip's error
    // reports). A byte that came with an error reads as 0, as garbled as it came.
    tio->c_iflag |= INPCK;
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio->c_cflag |= CS8 | CLOCAL | CREAD;
    if (twoStopBits) {
        tio->c_cflag |= CSTOPB;
    }
    // Reads never block in the driver: the wait for the first byte is done with poll().
    tio->c_cc[VMIN] = 0;
    tio->c_cc[VTIME] = 0;
}

// tcsetattr() succeeds when any of the changes applied, so the settings are read back. Where the
// system tells the rate set, it is judged apart (a driver may set a rate near the one asked).
bool settingsHeld(int fd, const termios& wanted) {
    termios actual{};
    if (tcgetattr(fd, &actual) != 0) {
        return false;
    }
    const tcflag_t lineBits = CSIZE | PARENB | CSTOPB | CRTSCTS;
    return (actual.c_cflag & lineBits) == (wanted.c_cflag & lineBits) &&
           (actual.c_iflag & (IXON | IXOFF | ISTRIP | ICRNL)) == 0 &&
           (actual.c_lflag & (ICANON | ECHO | ISIG)) == 0 &&
           (cfgetospeed(&actual) == cfgetospeed(&wanted) || rateSet(fd) > 0);
}

int applyLineSettings(int fd, int32_t baudRate, int32_t* stopBits) {
    if (baudRate <= 0) {
        // Speed 0 would hang up the line.
        return EINVAL;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        return errno;
    }
    const speed_t speed = standardSpeed(baudRate);
    const bool customRate = speed == B0;
    if (!customRate && cfsetspeed(&tio, speed) != 0) {
        return errno;
    }
    // The two-stop-bit setting is tried first; a driver that refuses it gets one stop bit.
    for (bool twoStopBits : {true, false}) {
        makeRaw(&tio, twoStopBits);
        if (tcsetattr(fd, TCSANOW, &tio) == 0 && settingsHeld(fd, tio)) {
            *stopBits = twoStopBits ? 2 : 1;
            return customRate ? setCustomBaudRate(fd, baudRate) : 0;
        }
    }
    return EINVAL;
}

// The controlling terminal, or the terminal of a standard stream: writing the probe there would
// write onto the user's screen, and the line settings would leave it raw.
bool isOwnTerminal(int fd) {
    if (tcgetsid(fd) == getsid(0)) {
        return true;
    }
    struct stat port {};
    if (fstat(fd, &port) != 0) {
        return false;
    }
    for (int stream = STDIN_FILENO; stream <= STDERR_FILENO; ++stream) {
        struct stat other {};
        if (isatty(stream) && fstat(stream, &other) == 0 && other.st_rdev == port.st_rdev) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool rateClose(int32_t asked, int32_t made) {
    return std::labs(static_cast<long>(made) - asked) * 100 <= static_cast<long>(asked) * 3;
}

// The rates a driver sets rise with the rate asked. Below: the highest rate asked between half of
// `asked` and `asked` that is set below `asked`; above: the lowest between `asked` and twice it
// that is set above. Some ten requests each way, to a part in a thousand.
void searchNearRates(RateSetter setRate, void* context, int32_t asked, int32_t made, int32_t* below,
                     int32_t* above) {
    *below = made < asked ? made : 0;
    *above = made > asked ? made : 0;
    const int32_t step = asked / 1000 > 1 ? asked / 1000 : 1;
    if (*below == 0) {
        int32_t low = asked / 2;
        int32_t high = asked;
        int32_t lowSet = setRate(context, low);
        if (lowSet > 0 && lowSet < asked) {
            while (high - low > step) {
                const int32_t middle = low + (high - low) / 2;
                const int32_t set = setRate(context, middle);
                if (set <= 0) {
                    break;
                }
                if (set < asked) {
                    low = middle;
                    lowSet = set;
                } else {
                    high = middle;
                }
            }
            *below = lowSet;
        }
    }
    if (*above == 0) {
        int32_t low = asked;
        int32_t high = asked > INT32_MAX / 2 ? INT32_MAX : asked * 2;
        int32_t highSet = setRate(context, high);
        if (highSet > asked) {
            while (high - low > step) {
                const int32_t middle = low + (high - low) / 2;
                const int32_t set = setRate(context, middle);
                if (set <= 0) {
                    break;
                }
                if (set > asked) {
                    high = middle;
                    highSet = set;
                } else {
                    low = middle;
                }
            }
            *above = highSet;
        }
    }
}

namespace {

class TtyLine final : public Line {
  public:
    TtyLine(int fd, SignalRelease* release) : fd(fd), release(release) {
        // Not every tty has modem lines (a pseudo-terminal has none): not examined.
        const int rts = TIOCM_RTS;
        ioctl(fd, TIOCMBIS, &rts);
        int saved = 0;
        latencyLowered = enableLowLatency(fd, &saved);
        savedLatency = saved;
        release->savedLatency = saved;
        release->latencyLowered = latencyLowered ? 1 : 0;
        tcflush(fd, TCIOFLUSH);
    }

    ~TtyLine() override {
        // The exclusive flag belongs to the tty, not to this descriptor: it would outlive the
        // close while another program keeps the tty open.
        release->fd = -1;
        if (latencyLowered) {
            restoreLatency(fd, savedLatency);
        }
        ioctl(fd, TIOCNXCL);
        flock(fd, LOCK_UN);
        closeTty(fd);
    }

    int32_t read(uint8_t* buffer, int32_t count, int32_t waitUs) override {
        pollfd watch{fd, POLLIN, 0};
        const int ready = pollForUs(&watch, waitUs);
        if (ready > 0 && (watch.revents & POLLIN) != 0) {
            const ssize_t got = ::read(fd, buffer, static_cast<size_t>(count));
            if (got > 0) {
                return static_cast<int32_t>(got);
            }
            if (got < 0 && errno != EAGAIN && errno != EINTR) {
                keepFirst(errno);
            }
            if (got == 0) {
                keepFirst(ERROR_HUNG_UP);
            }
        }
        if (ready > 0 && (watch.revents & (POLLHUP | POLLERR)) != 0) {
            keepFirst(ERROR_HUNG_UP);
        }
        // poll() returns at once on a hung-up line (POLLHUP, or EIO from read); sleeping the
        // wait keeps the caller's wait loop from spinning until its time limit.
        if (ready != 0 && waitUs > 0) {
            clock::sleepMs((waitUs + 999) / 1000);
        }
        return 0;
    }

    int32_t write(const uint8_t* bytes, int32_t count, int32_t untilMs) override {
        int32_t written = 0;
        while (written < count) {
            const ssize_t put = ::write(fd, bytes + written, static_cast<size_t>(count - written));
            if (put > 0) {
                written += static_cast<int32_t>(put);
                continue;
            }
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                keepFirst(errno);
                break;
            }
            // The driver takes no more now: wait for room, no later than the deadline.
            pollfd watch{fd, POLLOUT, 0};
            const int ready = pollUntil(&watch, untilMs);
            if (ready <= 0 || (watch.revents & POLLOUT) == 0) {
                keepFirst((watch.revents & POLLHUP) != 0 ? ERROR_HUNG_UP : ETIMEDOUT);
                break;
            }
        }
        return written;
    }

    void purge(int32_t) override { tcflush(fd, TCIOFLUSH); }

    int32_t queued() override {
        int count = 0;
        return ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
    }

    bool lineErrors(LineErrors* counted) override {
        return silentDriver[0] == '\0' && lineErrorCounts(fd, &counted->framing, &counted->overrun,
                                                          &counted->parity, &counted->breaks);
    }

    int32_t stopBits() const override { return stopBitsSet; }

    const char* driverWithoutLineErrors() const override {
        return silentDriver[0] != '\0' ? silentDriver : nullptr;
    }

    void noteUnsent() override {
        int unsent = 0;
        if (ioctl(fd, TIOCOUTQ, &unsent) == 0 && unsent > 0) {
            keepFirst(ETIMEDOUT);
        }
    }

    // Set by the open: the driver, when it is known to report no line errors, and the stop bits
    // it took.
    char silentDriver[24] = "";
    int32_t stopBitsSet = 2;

  private:
    int fd;
    SignalRelease* release;
    bool latencyLowered = false;
    int savedLatency = 0;
};

static_assert(sizeof(TtyLine) <= LineSlot::SIZE, "a tty's line fits its room");

}  // namespace

int openTty(const char* deviceName, int32_t baudRate, int32_t, int32_t, LineSlot* slot, Line** line,
            OpenFailure* failure) {
    SignalRelease* release = nullptr;
    for (SignalRelease& entry : signalReleases) {
        if (entry.fd < 0 && release == nullptr) {
            release = &entry;
        }
    }
    if (release == nullptr) {
        return EMFILE;
    }
    const int fd = ::open(deviceName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A tty marked exclusive refuses the open, but so it stays when the program that marked
        // it was killed while another (the far end of a pseudo-terminal) keeps it open.
        const int error = errno;
        return error == EBUSY && !deviceLockHeld(deviceName) &&
                       !findHolder(deviceName, nullptr, 0, nullptr)
                   ? ERROR_MARKED_EXCLUSIVE
                   : error;
    }
    if (isOwnTerminal(fd)) {
        ::close(fd);
        return ERROR_OWN_TERMINAL;
    }
    // Two locks, because each misses a case: TIOCEXCL keeps other opens out but root passes it,
    // flock() holds for root too but only against programs that also take it. The lock is taken
    // first so that a port held by another program never gets its exclusive flag changed by us.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return error;
    }
    // Looked at before it is taken: root passes another program's mark, and would clear it at
    // close. A mark this program did not set is never cleared.
    if (markedExclusive(fd)) {
        ::close(fd);
        return findHolder(deviceName, nullptr, 0, nullptr) ? EBUSY : ERROR_MARKED_EXCLUSIVE;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    release->latencyLowered = 0;
    release->fd = fd;
    // A failed open leaves the port as it found it.
    termios found{};
    const bool foundRead = tcgetattr(fd, &found) == 0;
    int32_t stopBits = 2;
    int error = applyLineSettings(fd, baudRate, &stopBits);
    const int32_t made = error == 0 ? rateSet(fd) : -1;
    if (made >= 0 && !rateClose(baudRate, made)) {
        // The driver set another rate, and says so.
        nearRatesSet(fd, baudRate, made, &failure->rateBelow, &failure->rateAbove);
        failure->rateAsked = baudRate;
        error = ERROR_RATE_NOT_MADE;
    } else if (error == 0 &&
               !clockMakesRate(fd, baudRate, &failure->rateBelow, &failure->rateAbove)) {
        failure->rateAsked = baudRate;
        error = ERROR_RATE_NOT_MADE;
    }
    if (error != 0) {
        if (foundRead) {
            tcsetattr(fd, TCSANOW, &found);
        }
        release->fd = -1;
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        return error;
    }
    TtyLine* tty = new (slot->bytes) TtyLine(fd, release);
    tty->stopBitsSet = stopBits;
    driverReportsLineErrors(deviceName, tty->silentDriver, sizeof tty->silentDriver);
    *line = tty;
    return 0;
}

void releasePortOnSignal() {
    // ioctl() is a plain system call here, safe in a signal handler; so is what restoreLatency()
    // does. Only what outlives the process is put back: the lock and the descriptor go with it.
    for (const SignalRelease& entry : signalReleases) {
        const int fd = entry.fd;
        if (fd >= 0) {
            ioctl(fd, TIOCNXCL);
            if (entry.latencyLowered != 0) {
                restoreLatency(fd, entry.savedLatency);
            }
        }
    }
}

}  // namespace platform
}  // namespace qorv
