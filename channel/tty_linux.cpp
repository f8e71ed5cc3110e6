// Linux takes any rate through termios2 with BOTHER, and has the serial drivers' low-latency
// flag. This file cannot include <termios.h>: its definitions clash with those of
// <asm/termbits.h>.
#include <asm/termbits.h>
#include <dirent.h>
#include <linux/serial.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <string_view>

#include "channel/tty_extras.h"

namespace qorv {
namespace platform {

int setCustomBaudRate(int fd, int32_t baudRate) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return errno;
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
    tio.c_cflag |= BOTHER;
    tio.c_ispeed = static_cast<speed_t>(baudRate);
    tio.c_ospeed = static_cast<speed_t>(baudRate);
    if (ioctl(fd, TCSETS2, &tio) != 0) {
        return errno;
    }
    return 0;
}

int32_t rateSet(int fd) {
    struct termios2 tio {};
    return ioctl(fd, TCGETS2, &tio) == 0 ? static_cast<int32_t>(tio.c_ospeed) : -1;
}

namespace {
int32_t setAndReadBack(void* context, int32_t asked) {
    const int fd = *static_cast<int*>(context);
    return setCustomBaudRate(fd, asked) == 0 ? rateSet(fd) : -1;
}
}  // namespace

void nearRatesSet(int fd, int32_t asked, int32_t made, int32_t* below, int32_t* above) {
    int descriptor = fd;
    searchNearRates(setAndReadBack, &descriptor, asked, made, below, above);
}

namespace {
constexpr int LOW_LATENCY = static_cast<int>(ASYNC_LOW_LATENCY);
}  // namespace

bool enableLowLatency(int fd, int* saved) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return false;
    }
    *saved = serial.flags;
    if ((serial.flags & LOW_LATENCY) != 0) {
        return false;
    }
    serial.flags |= LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

void restoreLatency(int fd, int saved) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags = (serial.flags & ~LOW_LATENCY) | (saved & LOW_LATENCY);
        ioctl(fd, TIOCSSERIAL, &serial);
    }
}

// /proc/locks lists every lock with the device and inode of its file, as
// "1: FLOCK  ADVISORY  WRITE 1234 00:05:678 0 EOF".
bool deviceLockHeld(const char* deviceName) {
    struct stat node {};
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (stat(deviceName, &node) != 0 || locks == nullptr) {
        if (locks != nullptr) {
            std::fclose(locks);
        }
        return true;
    }
    bool held = false;
    char line[256];
    while (!held && std::fgets(line, sizeof line, locks) != nullptr) {
        char kind[16];
        unsigned major = 0;
        unsigned minor = 0;
        unsigned long inode = 0;
        held = std::sscanf(line, "%*d: %15s %*s %*s %*d %x:%x:%lu", kind, &major, &minor, &inode) ==
                   4 &&
               std::string_view(kind) == "FLOCK" && major == major(node.st_dev) &&
               minor == minor(node.st_dev) && inode == node.st_ino;
    }
    std::fclose(locks);
    return held;
}

// /sys/class/tty/NAME/device/driver links to the driver of the port (a USB serial driver's port
// driver: ch341-uart, pl2303, cp210x, ftdi_sio).
bool driverReportsLineErrors(const char* deviceName, char* driver, size_t size) {
    char real[PATH_MAX];
    if (realpath(deviceName, real) == nullptr) {
        return true;
    }
    const char* name = std::strrchr(real, '/');
    char link[PATH_MAX + 64];
    std::snprintf(link, sizeof link, "/sys/class/tty/%s/device/driver",
                  name != nullptr ? name + 1 : real);
    char target[PATH_MAX];
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0) {
        return true;
    }
    target[length] = '\0';
    const char* base = std::strrchr(target, '/');
    base = base != nullptr ? base + 1 : target;
    for (const char* silent : {"ch341-uart", "pl2303"}) {
        if (std::strcmp(base, silent) == 0) {
            std::snprintf(driver, size, "%s", base);
            return false;
        }
    }
    return true;
}

bool lineErrorCounts(int fd, uint32_t* framing, uint32_t* overrun, uint32_t* parity,
                     uint32_t* breaks) {
    serial_icounter_struct counts{};
    if (ioctl(fd, TIOCGICOUNT, &counts) != 0) {
        return false;
    }
    *framing = static_cast<uint32_t>(counts.frame);
    *overrun = static_cast<uint32_t>(counts.overrun) + static_cast<uint32_t>(counts.buf_overrun);
    *parity = static_cast<uint32_t>(counts.parity);
    *breaks = static_cast<uint32_t>(counts.brk);
    return true;
}

bool markedExclusive(int fd) {
    int marked = 0;
    return ioctl(fd, TIOCGEXCL, &marked) == 0 && marked != 0;
}

// The 8250 family divides its clock (baud_base) by a whole number, and termios reports the rate
// asked for, not the one made: 100000 baud on a 115200 clock runs at 115200, 15% off.
bool clockMakesRate(int fd, int32_t baudRate, int32_t* below, int32_t* above) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || serial.baud_base <= 0 || baudRate <= 0) {
        return true;
    }
    const long base = serial.baud_base;
    const long divisor = (base + baudRate / 2) / baudRate;
    const long made = divisor > 0 ? base / divisor : base;
    if (std::labs(made - baudRate) * 100 <= static_cast<long>(baudRate) * 3) {
        return true;
    }
    const long slow = base / baudRate + 1;
    *below = static_cast<int32_t>(base / slow);
    *above = static_cast<int32_t>(slow > 1 ? base / (slow - 1) : 0);
    return false;
}

bool findHolder(const char* deviceName, char* name, size_t size, int* pid) {
    struct stat device {};
    DIR* processes = opendir("/proc");
    if (stat(deviceName, &device) != 0 || !S_ISCHR(device.st_mode) || processes == nullptr) {
        if (processes != nullptr) {
            closedir(processes);
        }
        return false;
    }
    bool found = false;
    const long self = static_cast<long>(getpid());
    while (!found) {
        const dirent* entry = readdir(processes);
        if (entry == nullptr) {
            break;
        }
        const long id = std::strtol(entry->d_name, nullptr, 10);
        if (id <= 0 || id == self) {
            continue;
        }
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%ld/fd", id);
        DIR* fds = opendir(path);
        while (fds != nullptr && !found) {
            const dirent* fd = readdir(fds);
            if (fd == nullptr) {
                break;
            }
            char link[320];
            struct stat open {};
            std::snprintf(link, sizeof link, "/proc/%ld/fd/%s", id, fd->d_name);
            found = fd->d_name[0] != '.' && stat(link, &open) == 0 && S_ISCHR(open.st_mode) &&
                    open.st_rdev == device.st_rdev;
        }
        if (fds != nullptr) {
            closedir(fds);
        }
        if (found && pid != nullptr) {
            *pid = static_cast<int>(id);
        }
        if (found && name != nullptr) {
            std::snprintf(path, sizeof path, "/proc/%ld/comm", id);
            std::FILE* comm = std::fopen(path, "re");
            if (comm == nullptr || std::fgets(name, static_cast<int>(size), comm) == nullptr) {
                std::snprintf(name, size, "?");
            }
            name[std::strcspn(name, "\n")] = '\0';
            if (comm != nullptr) {
                std::fclose(comm);
            }
        }
    }
    closedir(processes);
    return found;
}

// Older C libraries name the thread of a SIGEV_THREAD_ID event only by the kernel's field.
#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

namespace {
// How long a close may wait for the driver to send what it holds.
constexpr long CLOSE_WAIT_NS = 100L * 1000 * 1000;
void wakeOnly(int) {}
}  // namespace

// The driver's wait at close is interruptible: a timer sends this thread a signal, whose handler
// only wakes it, when the wait has lasted its limit. The signal's own handler (the one that ends
// the process) is put back after.
void closeTty(int fd) {
    const int signalNumber = SIGRTMIN + 1;
    struct sigaction wake {};
    struct sigaction previous {};
    wake.sa_handler = wakeOnly;
    sigemptyset(&wake.sa_mask);
    sigset_t only;
    sigset_t blocked;
    sigemptyset(&only);
    sigaddset(&only, signalNumber);
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = signalNumber;
    event.sigev_notify_thread_id = static_cast<pid_t>(syscall(SYS_gettid));
    timer_t timer{};
    const bool handled = sigaction(signalNumber, &wake, &previous) == 0;
    const bool armed = handled && timer_create(CLOCK_MONOTONIC, &event, &timer) == 0;
    if (armed) {
        pthread_sigmask(SIG_UNBLOCK, &only, &blocked);
        itimerspec limit{};
        limit.it_value.tv_nsec = CLOSE_WAIT_NS;
        timer_settime(timer, 0, &limit, nullptr);
    }
    ::close(fd);
    if (armed) {
        timer_delete(timer);
        pthread_sigmask(SIG_SETMASK, &blocked, nullptr);
    }
    if (handled) {
        sigaction(signalNumber, &previous, nullptr);
    }
}

void preciseWaits() {
    // 1 ns, the least; the process's other waits (1 ms polls) lose nothing by it.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

}  // namespace platform
}  // namespace qorv
