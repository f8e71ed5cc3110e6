#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "app/console.h"

namespace qorv {

namespace {

void readOneByte() {
    char key;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
}

}  // namespace

void waitForKey() {
    termios saved{};
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) {
        readOneByte();
        return;
    }
    termios keystroke = saved;
    keystroke.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keystroke.c_cc[VMIN] = 1;
    keystroke.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &keystroke);
    readOneByte();
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

}  // namespace qorv
