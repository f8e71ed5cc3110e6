// The rate a Linux tty runs at, any rate included. Apart from the other sources, because
// <asm/termbits.h> cannot be included together with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace testing_support {

long lineSpeedOf(int fd) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return -1;
    }
    return static_cast<long>(tio.c_ospeed);
}

}  // namespace testing_support
