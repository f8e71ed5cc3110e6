// Guest helper of the virtual machine scenarios: says what the driver holds for a tty, holds a
// tty the way other programs do, and runs a command as another user.
//   probe state DEV          termios2, serial flags and clock, exclusive mark, one line
//   probe excl DEV SECONDS   keeps DEV open and marked exclusive (TIOCEXCL only, no flock)
//   probe as UID CMD...      runs CMD with user and group UID
//   probe join TTY PEER      copies between TTY (a USB gadget's serial end) and PEER (the
//                            simulator's terminal) for ever, opening TTY again after each
//                            hang-up (the gadget unplugged)
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "state") == 0) {
        const int fd = open(argv[2], O_RDONLY | O_NONBLOCK | O_NOCTTY);
        struct termios2 tio {};
        serial_struct serial{};
        int excl = -1;
        if (fd < 0 || ioctl(fd, TCGETS2, &tio) != 0) {
            std::perror(argv[2]);
            return 1;
        }
        const bool hasSerial = ioctl(fd, TIOCGSERIAL, &serial) == 0;
        ioctl(fd, TIOCGEXCL, &excl);
        std::printf(
            "STATE: speed %u cs8 %d cstopb %d parenb %d crtscts %d ixon %d icanon %d "
            "echo %d excl %d lowlatency %d baud_base %d\n",
            tio.c_ospeed, (tio.c_cflag & CSIZE) == CS8, (tio.c_cflag & CSTOPB) != 0,
            (tio.c_cflag & PARENB) != 0, (tio.c_cflag & CRTSCTS) != 0, (tio.c_iflag & IXON) != 0,
            (tio.c_lflag & ICANON) != 0, (tio.c_lflag & ECHO) != 0, excl,
            hasSerial ? (serial.flags & ASYNC_LOW_LATENCY) != 0 : -1,
            hasSerial ? serial.baud_base : -1);
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "excl") == 0) {
        const int fd = open(argv[2], O_RDWR | O_NONBLOCK | O_NOCTTY);
        if (fd < 0 || ioctl(fd, TIOCEXCL) != 0) {
            std::perror(argv[2]);
            return 1;
        }
        sleep(static_cast<unsigned>(std::atoi(argv[3])));
        return 0;
    }
    if (argc >= 4 && std::strcmp(argv[1], "as") == 0) {
        const int id = std::atoi(argv[2]);
        if (setgid(static_cast<gid_t>(id)) != 0 || setuid(static_cast<uid_t>(id)) != 0) {
            std::perror("setuid");
            return 1;
        }
        execv(argv[3], argv + 3);
        std::perror(argv[3]);
        return 127;
    }
    if (argc == 4 && std::strcmp(argv[1], "join") == 0) {
        // Raw both ways: every byte as it is, nothing echoed.
        const auto openRaw = [](const char* path) {
            const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
            struct termios2 tio {};
            if (fd >= 0 && ioctl(fd, TCGETS2, &tio) == 0) {
                tio.c_iflag = 0;
                tio.c_oflag = 0;
                tio.c_lflag = 0;
                tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB)) | CS8 | CLOCAL | CREAD;
                tio.c_cc[VMIN] = 1;
                tio.c_cc[VTIME] = 0;
                ioctl(fd, TCSETS2, &tio);
            }
            return fd;
        };
        const int peer = openRaw(argv[3]);
        int tty = -1;
        for (;;) {
            if (tty < 0) {
                tty = openRaw(argv[2]);
                if (tty < 0) {
                    usleep(50000);
                    continue;
                }
            }
            pollfd watched[2] = {{tty, POLLIN, 0}, {peer, POLLIN, 0}};
            poll(watched, 2, 1000);
            char bytes[512];
            bool lost = (watched[0].revents & (POLLHUP | POLLERR)) != 0;
            for (int i = 0; i < 2 && !lost; ++i) {
                if ((watched[i].revents & POLLIN) == 0) {
                    continue;
                }
                const ssize_t got = read(watched[i].fd, bytes, sizeof bytes);
                if (got > 0) {
                    (void)!write(i == 0 ? peer : tty, bytes, static_cast<size_t>(got));
                }
                lost = i == 0 && got <= 0;
            }
            if (lost) {
                close(tty);
                tty = -1;
                usleep(50000);
            }
        }
    }
    std::fprintf(stderr,
                 "usage: probe state DEV | excl DEV SECONDS | as UID CMD... | join TTY PEER\n");
    return 2;
}
