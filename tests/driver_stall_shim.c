/* Makes a serial driver wedge under wine, from outside the executable: preloaded into wine (which
 * makes a COM port's requests as system calls on the tty), it holds requests on the tty named by
 * QORV_STALL_TTY for ever once the program has written its fifth store block (or at once with
 * QORV_STALL_AT=0). QORV_STALL names what stalls, comma-separated:
 *   status  the queue and modem status requests (ClearCommError, GetCommModemStatus)
 *   purge   discarding the queues (PurgeComm)
 *   reads   reads: nothing ever comes (the driver keeps the bytes)
 *   writes  writes: nothing is ever taken
 *   settings  the line settings (SetCommState, GetCommState)
 * A held request sleeps until the process ends, as a driver that never completes it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

static int blocksWritten;

static int isPort(int fd) {
    static char wanted[256];
    const char* name = getenv("QORV_STALL_TTY");
    char link[64], target[256];
    if (name == NULL || strstr(program_invocation_short_name, "wineserver") != NULL) {
        return 0;
    }
    if (wanted[0] == '\0' && realpath(name, wanted) == NULL) {
        return 0;
    }
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t size = readlink(link, target, sizeof target - 1);
    if (size <= 0) {
        return 0;
    }
    target[size] = '\0';
    return strcmp(target, wanted) == 0;
}

static int stalls(const char* what) {
    const char* at = getenv("QORV_STALL_AT");
    const char* list = getenv("QORV_STALL");
    const int from = at != NULL ? atoi(at) : 5;
    return list != NULL && strstr(list, what) != NULL && blocksWritten >= from;
}

static void holdForEver(void) {
    for (;;) {
        pause();
    }
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...);
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (real == NULL) {
        *(void**)(&real) = dlsym(RTLD_NEXT, "ioctl");
    }
    if (isPort(fd)) {
        const int status = request == FIONREAD || request == TIOCOUTQ || request == TIOCMGET ||
                           request == TIOCGICOUNT || request == TIOCGSERIAL;
        const int settings =
            request == TCGETS || request == TCSETS || request == TCSETSW || request == TCSETSF;
        if ((status && stalls("status")) || (request == TCFLSH && stalls("purge")) ||
            (settings && stalls("settings"))) {
            holdForEver();
        }
    }
    return real(fd, request, argument);
}

int tcsetattr(int fd, int when, const struct termios* settings) {
    static int (*real)(int, int, const struct termios*);
    if (real == NULL) {
        *(void**)(&real) = dlsym(RTLD_NEXT, "tcsetattr");
    }
    if (stalls("settings") && isPort(fd)) {
        holdForEver();
    }
    return real(fd, when, settings);
}

ssize_t read(int fd, void* buffer, size_t count) {
    static ssize_t (*real)(int, void*, size_t);
    if (real == NULL) {
        *(void**)(&real) = dlsym(RTLD_NEXT, "read");
    }
    if (stalls("reads") && isPort(fd)) {
        errno = EAGAIN;
        return -1;
    }
    return real(fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count) {
    static ssize_t (*real)(int, const void*, size_t);
    if (real == NULL) {
        *(void**)(&real) = dlsym(RTLD_NEXT, "write");
    }
    if (isPort(fd)) {
        if (stalls("writes")) {
            errno = EAGAIN;
            return -1;
        }
        const unsigned char* bytes = buffer;
        if (count > 2 && bytes[2] == 0x96) {
            ++blocksWritten;
        }
    }
    return real(fd, buffer, count);
}
