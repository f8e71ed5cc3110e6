// The station's processes on POSIX: posix_spawn, a pipe per store for its progress feed, poll()
// with a pipe that the signal handlers write to.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/station.h"
#include "app/station_system.h"

extern char** environ;

namespace qorv {
namespace station_system {

namespace {

// Written to by the handlers of the signals that stop the station; read by wait().
int wakeRead = -1;
int wakeWrite = -1;
volatile sig_atomic_t stopAsked = 0;

// Async-signal-safe.
void wakeWith(char byte) {
    const int saved = errno;
    (void)!write(wakeWrite, &byte, 1);
    errno = saved;
}

void onStop(int) {
    stopAsked = 1;
    wakeWith('s');
}

void onChild(int) {
    wakeWith('c');
}

// Reads what a feed has; its whole lines go to `lines`. False at its end.
bool readFeed(Child* child) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(static_cast<int>(child->feed), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
        child->partial.append(buffer, static_cast<size_t>(got));
        for (size_t end; (end = child->partial.find('\n')) != std::string::npos;) {
            child->lines.push_back(child->partial.substr(0, end));
            child->partial.erase(0, end + 1);
        }
    }
}

}  // namespace

void prepare() {
    // A closed standard descriptor is opened on the null device, so that no pipe takes its place.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            open("/dev/null", O_RDWR);
        }
    }
    int ends[2];
    if (pipe(ends) == 0) {
        wakeRead = ends[0];
        wakeWrite = ends[1];
        for (int fd : ends) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = onStop;
    for (int stopping : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(stopping, &action, nullptr);
    }
    action.sa_handler = onChild;
    action.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, nullptr);
}

void wakeUp() {
    wakeWith('w');
}

std::string writerPath() {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        self[length] = '\0';
        const std::string here(self);
        const std::string beside = here.substr(0, here.rfind('/') + 1) + "QorvWriter";
        if (access(beside.c_str(), X_OK) == 0) {
            return beside;
        }
    }
    return "QorvWriter";
}

bool start(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
           const std::string& logPath, Child* child, std::string* reason) {
    int feed[2];
    if (pipe(feed) != 0) {
        *reason = std::strerror(errno);
        return false;
    }
    fcntl(feed[0], F_SETFD, FD_CLOEXEC);
    fcntl(feed[0], F_SETFL, fcntl(feed[0], F_GETFL) | O_NONBLOCK);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0) {
        *reason = logPath + ": " + std::strerror(errno);
        close(feed[0]);
        close(feed[1]);
        return false;
    }
    // The feed is descriptor 3 in the store; its output the log; its input nothing.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, log, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, log, STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, feed[1], 3);
    // Signals as a store started from a shell has them, so that it ends the way it ends there.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int reset : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) {
        sigaddset(&defaults, reset);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, "QORV_PROGRESS=", 14) != 0) {
            variables.emplace_back(*variable);
        }
    }
    variables.emplace_back("QORV_PROGRESS=3");
    variables.insert(variables.end(), environment.begin(), environment.end());
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& variable : variables) {
        envp.push_back(&variable[0]);
    }
    envp.push_back(nullptr);
    pid_t pid = 0;
    const int failed = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(feed[1]);
    close(log);
    if (failed != 0) {
        *reason = arguments[0] + ": " + std::strerror(failed);
        close(feed[0]);
        return false;
    }
    child->process = pid;
    child->feed = feed[0];
    child->running = true;
    return true;
}

Wake wait(const std::vector<Child*>& children, int32_t ms) {
    std::vector<pollfd> watched{{wakeRead, POLLIN, 0}};
    std::vector<Child*> feeding;
    for (Child* child : children) {
        if (child->running && child->feed >= 0) {
            watched.push_back({static_cast<int>(child->feed), POLLIN, 0});
            feeding.push_back(child);
        }
    }
    const int ready = poll(watched.data(), watched.size(), ms);
    bool stop = false;
    if (ready > 0 && (watched[0].revents & POLLIN) != 0) {
        char bytes[64];
        while (read(wakeRead, bytes, sizeof bytes) > 0) {
        }
        stop = stopAsked != 0;
        stopAsked = 0;
    }
    for (size_t i = 0; i < feeding.size(); ++i) {
        if (watched[i + 1].revents != 0 && !readFeed(feeding[i])) {
            close(static_cast<int>(feeding[i]->feed));
            feeding[i]->feed = -1;
        }
    }
    return stop ? Wake::Stop : ready > 0 ? Wake::Activity : Wake::Timeout;
}

bool ended(Child* child, int* status) {
    if (!child->running) {
        return false;
    }
    int how = 0;
    const pid_t done = waitpid(static_cast<pid_t>(child->process), &how, WNOHANG);
    if (done != static_cast<pid_t>(child->process)) {
        return false;
    }
    if (child->feed >= 0) {
        readFeed(child);
        close(static_cast<int>(child->feed));
        child->feed = -1;
    }
    child->running = false;
    *status = WIFEXITED(how) ? WEXITSTATUS(how) : WIFSIGNALED(how) ? 128 + WTERMSIG(how) : -1;
    return true;
}

std::string howItEnded(int status) {
    return status > 128 ? "was ended by signal " + std::to_string(status - 128)
                        : "ended with status " + std::to_string(status);
}

void askToEnd(Child* child) {
    if (child->running) {
        kill(static_cast<pid_t>(child->process), SIGTERM);
    }
}

void endNow(Child* child) {
    if (child->running) {
        kill(static_cast<pid_t>(child->process), SIGKILL);
    }
}

bool terminal(int* columns) {
    const char* term = std::getenv("TERM");
    if (!isatty(STDOUT_FILENO) || term == nullptr || std::strcmp(term, "dumb") == 0) {
        return false;
    }
    winsize size{};
    *columns = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    return true;
}

std::string temporaryDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qorv-station.XXXXXX";
    return mkdtemp(&pattern[0]) != nullptr ? pattern : "";
}

void removeDirectory(const std::string& path) {
    DIR* directory = opendir(path.c_str());
    if (directory != nullptr) {
        while (const dirent* entry = readdir(directory)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                unlink((path + "/" + entry->d_name).c_str());
            }
        }
        closedir(directory);
    }
    rmdir(path.c_str());
}

std::string pathIn(const std::string& directory, const std::string& name) {
    return directory + "/" + name;
}

bool makeDirectory(const std::string& path, std::string* reason) {
    struct stat info {};
    if (mkdir(path.c_str(), 0755) == 0 ||
        (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))) {
        return true;
    }
    *reason = std::strerror(errno);
    return false;
}

std::FILE* openToRead(const std::string& path) {
    return std::fopen(path.c_str(), "rb");
}

std::string canonicalDevice(const std::string& device) {
    char resolved[PATH_MAX];
    return realpath(device.c_str(), resolved) != nullptr ? resolved : device;
}

std::string quoted(const std::string& argument) {
    if (!argument.empty() &&
        argument.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                   "0123456789-_./:@,+=") == std::string::npos) {
        return argument;
    }
    std::string out = "'";
    for (char c : argument) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

}  // namespace station_system
}  // namespace qorv

int main(int argc, char** argv) {
    return qorv::runStation(std::vector<std::string>(argv + 1, argv + argc));
}
