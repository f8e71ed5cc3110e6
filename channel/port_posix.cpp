// POSIX back end of DeviceChannel: serial ports through termios, files through open/read/write.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "channel/net_port.h"
#include "channel/platform.h"
#include "channel/tty_extras.h"

namespace qorv {
namespace platform {

namespace {

constexpr int READ_WAIT_MS = 1;
// Error code of a settings path that exists but is no regular file (errno values are positive).
constexpr int ERROR_NOT_A_FILE = -1;
// Error code of a port whose line hung up (the other end closed, the adapter went away).
constexpr int ERROR_HUNG_UP = -2;
// Error code of a port marked for exclusive use that no process holds the lock of.
constexpr int ERROR_MARKED_EXCLUSIVE = -3;
// Error code of a port that is the terminal this program runs in.
constexpr int ERROR_OWN_TERMINAL = -4;
// Error code of a rate the port's clock cannot make within 3%; the rates it makes near it.
constexpr int ERROR_RATE_NOT_MADE = -5;
int32_t rateAsked = 0;
int32_t rateBelow = 0;
int32_t rateAbove = 0;
// A write that makes no progress for this long is given up, so a stalled line cannot hang the run.
constexpr int WRITE_STALL_MS = 2000;

// The port whose exclusive mark a signal handler must release, -1 for none.
volatile sig_atomic_t exclusivePort = -1;

// Ports whose driver was switched to low latency, with the flags to put back at close.
struct LatencyRestore {
    int fd = -1;
    int saved = 0;
};
LatencyRestore latencyRestores[8];

void lowerLatency(int fd) {
    for (LatencyRestore& entry : latencyRestores) {
        if (entry.fd < 0) {
            if (enableLowLatency(fd, &entry.saved)) {
                entry.fd = fd;
            }
            return;
        }
    }
}

void putBackLatency(int fd) {
    for (LatencyRestore& entry : latencyRestores) {
        if (entry.fd == fd) {
            restoreLatency(fd, entry.saved);
            entry.fd = -1;
        }
    }
}

void keepFirst(int* ioError, int error) {
    if (*ioError == 0) {
        *ioError = error;
    }
}

int64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sleepOneMs() {
    timespec pause{0, 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

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
                                           ICRNL | IXON | IXOFF | IXANY | INPCK);
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

// tcsetattr() succeeds when any of the changes applied, so the settings are read back.
bool settingsHeld(int fd, const termios& wanted) {
    termios actual{};
    if (tcgetattr(fd, &actual) != 0) {
        return false;
    }
    const tcflag_t lineBits = CSIZE | PARENB | CSTOPB | CRTSCTS;
    return (actual.c_cflag & lineBits) == (wanted.c_cflag & lineBits) &&
           (actual.c_iflag & (IXON | IXOFF | ISTRIP | ICRNL)) == 0 &&
           (actual.c_lflag & (ICANON | ECHO | ISIG)) == 0 &&
           cfgetospeed(&actual) == cfgetospeed(&wanted);
}

int applyLineSettings(int fd, int32_t baudRate) {
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

void portDeviceName(int32_t portNumber, char* out, size_t size) {
    // COM1 is the first serial device, /dev/ttyS0.
    std::snprintf(out, size, "/dev/ttyS%lld", static_cast<long long>(portNumber) - 1);
}

int openPort(const char* deviceName, int32_t baudRate, int32_t, int32_t, OsHandle* handle,
             OpenCall*) {
    if (isNetworkName(deviceName)) {
        Socket socket = -1;
        const int error = openNetworkPort(deviceName, baudRate, &socket);
        *handle = static_cast<OsHandle>(socket);
        return error;
    }
    const int fd = ::open(deviceName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A tty marked exclusive refuses the open, but so it stays when the program that marked
        // it was killed while another (the far end of a pseudo-terminal) keeps it open.
        const int error = errno;
        return error == EBUSY && !deviceLockHeld(deviceName) &&
                       !portHolder(deviceName, nullptr, 0, nullptr)
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
        return portHolder(deviceName, nullptr, 0, nullptr) ? EBUSY : ERROR_MARKED_EXCLUSIVE;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    exclusivePort = fd;
    // A failed open leaves the port as it found it.
    termios found{};
    const bool foundRead = tcgetattr(fd, &found) == 0;
    int error = applyLineSettings(fd, baudRate);
    if (error == 0 && !clockMakesRate(fd, baudRate, &rateBelow, &rateAbove)) {
        rateAsked = baudRate;
        error = ERROR_RATE_NOT_MADE;
    }
    if (error != 0) {
        if (foundRead) {
            tcsetattr(fd, TCSANOW, &found);
        }
        exclusivePort = -1;
        ioctl(fd, TIOCNXCL);
        ::close(fd);
        return error;
    }
    // Not every tty has modem lines (a pseudo-terminal has none), so the result is not examined.
    const int rts = TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &rts);
    lowerLatency(fd);
    tcflush(fd, TCIOFLUSH);
    *handle = fd;
    return 0;
}

int openFile(const char* path, OsHandle* handle) {
    // O_NONBLOCK only for the open itself, so that a FIFO or a device cannot hold it up.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return errno;
    }
    // Only a regular file comes to an end: a terminal, a device or a FIFO could keep a read
    // without time limit waiting for ever.
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return S_ISDIR(info.st_mode) ? EISDIR : ERROR_NOT_A_FILE;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *handle = fd;
    return 0;
}

int32_t readPort(OsHandle handle, uint8_t* buffer, int32_t count, int* ioError) {
    const int fd = static_cast<int>(handle);
    pollfd watch{fd, POLLIN, 0};
    int ready = poll(&watch, 1, READ_WAIT_MS);
    if (ready > 0 && (watch.revents & POLLIN) != 0) {
        const ssize_t got = ::read(fd, buffer, static_cast<size_t>(count));
        if (got > 0) {
            // Over Telnet, what is left once its commands are out.
            return takeTelnet(fd, buffer, static_cast<int32_t>(got));
        }
        if (got < 0 && errno != EAGAIN && errno != EINTR) {
            keepFirst(ioError, errno);
        }
        // The end of the stream: the device server closed the connection.
        if (got == 0) {
            keepFirst(ioError, ERROR_HUNG_UP);
        }
    }
    if (ready > 0 && (watch.revents & (POLLHUP | POLLERR)) != 0) {
        keepFirst(ioError, ERROR_HUNG_UP);
    }
    // poll() returns at once on a hung-up line (POLLHUP, or EIO from read); sleeping here keeps
    // the caller's wait loop from spinning until its time limit.
    if (ready != 0) {
        sleepOneMs();
    }
    return 0;
}

int32_t readFile(OsHandle handle, uint8_t* buffer, int32_t count) {
    ssize_t got;
    do {
        got = ::read(static_cast<int>(handle), buffer, static_cast<size_t>(count));
    } while (got < 0 && errno == EINTR);
    return static_cast<int32_t>(got);
}

namespace {

// Writes to a tty or a socket, waiting while the driver takes no more, up to the stall limit.
int32_t writeRaw(Socket socket, const uint8_t* buffer, int32_t count, int* ioError) {
    const int fd = static_cast<int>(socket);
    int32_t written = 0;
    while (written < count) {
        const ssize_t put = ::write(fd, buffer + written, static_cast<size_t>(count - written));
        if (put > 0) {
            written += static_cast<int32_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            keepFirst(ioError, errno);
            break;
        }
        // The port is non-blocking: wait until the driver takes more. A signal that interrupts
        // the wait does not shorten or lengthen the stall that gives up.
        pollfd watch{fd, POLLOUT, 0};
        const int64_t giveUpAt = monotonicMs() + WRITE_STALL_MS;
        int ready;
        do {
            const int64_t left = giveUpAt - monotonicMs();
            ready = poll(&watch, 1, left > 0 ? static_cast<int>(left) : 0);
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0 || (watch.revents & POLLOUT) == 0) {
            keepFirst(ioError, (watch.revents & POLLHUP) != 0 ? ERROR_HUNG_UP : ETIMEDOUT);
            break;
        }
    }
    return written;
}

}  // namespace

int32_t writeAll(OsHandle handle, const uint8_t* buffer, int32_t count, int* ioError) {
    // A tty, or a device server's connection (over Telnet, its 0xFF bytes doubled).
    return writeNetwork(handle, buffer, count, &writeRaw, ioError);
}

void purgePort(OsHandle handle) {
    const int fd = static_cast<int>(handle);
    if (!isatty(fd)) {
        purgeServer(fd);
        return;
    }
    tcflush(fd, TCIOFLUSH);
}

int32_t queuedInput(OsHandle handle) {
    // Over Telnet the count would take in its commands: it would overstate.
    int queued = 0;
    return !speaksTelnet(static_cast<int>(handle)) &&
                   ioctl(static_cast<int>(handle), FIONREAD, &queued) == 0
               ? queued
               : 0;
}

void closePort(OsHandle handle) {
    const int fd = static_cast<int>(handle);
    // The exclusive flag belongs to the tty, not to this descriptor: it would outlive the close
    // while another program keeps the tty open.
    if (exclusivePort == fd) {
        exclusivePort = -1;
    }
    if (isNetworkPort(fd)) {
        closeNetworkPort(fd);
        return;
    }
    putBackLatency(fd);
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    ::close(fd);
}

void closeFile(OsHandle handle) {
    ::close(static_cast<int>(handle));
}

bool portHolder(const char* deviceName, char* name, size_t size, int* pid) {
    return findHolder(deviceName, name, size, pid);
}

void describeError(int osError, char* out, size_t size) {
    if (osError == ERROR_RATE_NOT_MADE) {
        std::snprintf(out, size, "its clock makes %ld and %ld baud near %ld, not %ld within 3%%",
                      static_cast<long>(rateBelow), static_cast<long>(rateAbove),
                      static_cast<long>(rateAsked), static_cast<long>(rateAsked));
        return;
    }
    const char* text = osError == ERROR_NAME_NOT_RESOLVED ? "the name does not resolve"
                       : osError == ERROR_BAD_ADDRESS ? "not a device server's address (HOST:PORT)"
                       : osError == ERROR_NOT_A_FILE  ? "Not a regular file"
                       : osError == ERROR_HUNG_UP     ? "the line hung up"
                       : osError == ERROR_MARKED_EXCLUSIVE ? std::strerror(EBUSY)
                       : osError == ERROR_OWN_TERMINAL ? "it is the terminal this program runs in"
                                                       : std::strerror(osError);
    std::snprintf(out, size, "%s", text);
}

bool isHangUp(int ioError) {
    return ioError == ERROR_HUNG_UP;
}

bool isWriteStall(int ioError) {
    return ioError == ETIMEDOUT;
}

bool lineErrors(OsHandle handle, LineErrors* counted) {
    return lineErrorCounts(static_cast<int>(handle), &counted->framing, &counted->overrun,
                           &counted->parity, &counted->breaks);
}

OpenProblem classifyOpenError(int osError, OpenCall) {
    switch (osError) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return OPEN_NOT_FOUND;
        case EACCES:
        case EPERM:
            return OPEN_DENIED;
        case EBUSY:
            return OPEN_BUSY;
        case ERROR_MARKED_EXCLUSIVE:
            return OPEN_MARKED_EXCLUSIVE;
        case ERROR_NAME_NOT_RESOLVED:
        case ERROR_BAD_ADDRESS:
        case ECONNREFUSED:
        case ETIMEDOUT:
        case EHOSTUNREACH:
        case ENETUNREACH:
            return OPEN_SERVER_UNREACHABLE;
        case EINVAL:
        case ERROR_RATE_NOT_MADE:
            return OPEN_SETTINGS_REFUSED;
        default:
            return OPEN_OTHER;
    }
}

void releasePortOnSignal() {
    // ioctl() is a plain system call here, safe in a signal handler; so is what restoreLatency()
    // does. Only what outlives the process is put back: the lock and the descriptor go with it.
    const int fd = exclusivePort;
    if (fd >= 0) {
        ioctl(fd, TIOCNXCL);
    }
    for (const LatencyRestore& entry : latencyRestores) {
        if (entry.fd >= 0) {
            restoreLatency(entry.fd, entry.saved);
        }
    }
}

}  // namespace platform
}  // namespace qorv
