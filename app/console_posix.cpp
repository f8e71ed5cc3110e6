#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>

#include "app/console.h"
#include "channel/device_channel.h"

namespace qorv {

namespace {

// The terminal settings to put back if a signal ends the process during the key wait.
termios terminalBeforeKeyWait{};
volatile sig_atomic_t keyWaitActive = 0;

void readOneByte() {
    char key;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
}

bool endsTheProcess(int signalNumber) {
#ifdef SIGRTMIN
    if (signalNumber >= SIGRTMIN && signalNumber <= SIGRTMAX) {
        return true;
    }
#endif
    // SIGKILL and SIGSTOP cannot be caught; SIGPIPE and SIGXFSZ are ignored; the others stop,
    // continue or are ignored by default.
    for (int ending : {
             SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE, SIGUSR1,
             SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGPOLL
             SIGPOLL,
#endif
#ifdef SIGSTKFLT
             SIGSTKFLT,
#endif
#ifdef SIGPWR
             SIGPWR,
#endif
         }) {
        if (signalNumber == ending) {
            return true;
        }
    }
    return false;
}

// Async-signal-safe only: system calls, then the signal's own default action.
void endBySignal(int signalNumber) {
    DeviceChannel::releasePortOnSignal();
    if (keyWaitActive != 0) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &terminalBeforeKeyWait);
    }
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

}  // namespace

void prepareProcess() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // open() takes the lowest free descriptor, which is this one.
            open("/dev/null", O_RDWR);
        }
    }
    // A reader of standard output that has gone (a pipe into head) must not stop a store.
    signal(SIGPIPE, SIG_IGN);
    // A trace or record written past the file size limit (ulimit -f) is a failed write, said
    // once, not the end of a store under way.
    signal(SIGXFSZ, SIG_IGN);
    // Every signal whose default ends the process and that can be caught.
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (!endsTheProcess(signalNumber)) {
            continue;
        }
        struct sigaction action {};
        sigaction(signalNumber, nullptr, &action);
        // A signal the launcher chose to ignore stays ignored, and one this process already
        // handles (a sanitizer's crash report) keeps its handler.
        if (action.sa_handler != SIG_DFL || (action.sa_flags & SA_SIGINFO) != 0) {
            continue;
        }
        action.sa_handler = endBySignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(signalNumber, &action, nullptr);
    }
}

void waitForKey() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &terminalBeforeKeyWait) != 0) {
        readOneByte();
        return;
    }
    termios keystroke = terminalBeforeKeyWait;
    // Without ISIG, Ctrl+C arrives as a key instead of ending the process with echo off.
    keystroke.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
    keystroke.c_cc[VMIN] = 1;
    keystroke.c_cc[VTIME] = 0;
    keyWaitActive = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &keystroke);
    readOneByte();
    // The rest of a key that sends several bytes (an arrow key) is not left to the shell.
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &terminalBeforeKeyWait);
    keyWaitActive = 0;
}

}  // namespace qorv
