// Linux takes any rate through termios2 with BOTHER, and has the serial drivers' low-latency
// flag. This file cannot include <termios.h>: its definitions clash with those of
// <asm/termbits.h>.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
    // Drivers round to the rates their clock can make; one that strays more than 3% is refused.
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return errno;
    }
    const long actual = static_cast<long>(tio.c_ospeed);
    if (std::labs(actual - baudRate) * 100 > static_cast<long>(baudRate) * 3) {
        return EINVAL;
    }
    return 0;
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

}  // namespace platform
}  // namespace qorv
