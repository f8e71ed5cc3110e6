#include "tests/support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "sim/simulator.h"

namespace testing_support {

PtyPair::PtyPair() {
    if (!pelorix::openRawPty(&master, &slave, &slavePath)) {
        throw std::runtime_error("openpty failed");
    }
}

PtyPair::~PtyPair() {
    if (master >= 0) {
        ::close(master);
    }
    if (slave >= 0) {
        ::close(slave);
    }
}

void PtyPair::write(const Bytes& bytes) const {
    writeChunked(bytes, bytes.size() + 1, 0);
}

void PtyPair::writeChunked(const Bytes& bytes, size_t chunk, int pauseMs) const {
    size_t at = 0;
    while (at < bytes.size()) {
        const size_t count = std::min(chunk, bytes.size() - at);
        const ssize_t put = ::write(master, bytes.data() + at, count);
        if (put <= 0) {
            throw std::runtime_error("pty write failed");
        }
        at += static_cast<size_t>(put);
        if (pauseMs > 0 && at < bytes.size()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        }
    }
}

Bytes PtyPair::read(size_t count, int timeoutMs) const {
    Bytes out;
    const double end = nowSeconds() + timeoutMs / 1000.0;
    while (out.size() < count) {
        const int left = static_cast<int>((end - nowSeconds()) * 1000);
        if (left <= 0) {
            break;
        }
        pollfd watch{master, POLLIN, 0};
        if (poll(&watch, 1, left) <= 0) {
            break;
        }
        uint8_t chunk[4096];
        const ssize_t got = ::read(master, chunk, std::min(sizeof chunk, count - out.size()));
        if (got <= 0) {
            break;
        }
        out.insert(out.end(), chunk, chunk + got);
    }
    return out;
}

Bytes PtyPair::drain(int quietMs) const {
    Bytes out;
    for (;;) {
        const Bytes more = read(4096, quietMs);
        if (more.empty()) {
            return out;
        }
        out.insert(out.end(), more.begin(), more.end());
    }
}

void PtyPair::hangUp() {
    ::close(master);
    master = -1;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/qorvtest.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(root, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(root, ignored);
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileStamp::operator==(const FileStamp& other) const {
    return content == other.content && modified.tv_sec == other.modified.tv_sec &&
           modified.tv_nsec == other.modified.tv_nsec;
}

FileStamp stampOf(const std::string& path) {
    FileStamp stamp{{}, {}};
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) {
        stamp.modified = info.st_mtim;
        if (S_ISREG(info.st_mode)) {
            stamp.content = readFile(path);
        }
    }
    return stamp;
}

namespace {

std::string slurp(int fd) {
    std::string text;
    lseek(fd, 0, SEEK_SET);
    char chunk[4096];
    ssize_t got;
    while ((got = ::read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<size_t>(got));
    }
    return text;
}

// In a forked child: becomes the program, or ends as a shell does for one it cannot run.
[[noreturn]] void execOrExit(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

}  // namespace

RunResult runProgram(const std::vector<std::string>& argv, int stdinFd) {
    RunOptions options;
    options.stdinFd = stdinFd;
    return runProgram(argv, options);
}

RunResult runProgram(const std::vector<std::string>& argv, const RunOptions& options) {
    char outName[] = "/tmp/qorvout.XXXXXX";
    char errName[] = "/tmp/qorverr.XXXXXX";
    const int out = mkstemp(outName);
    const int err = mkstemp(errName);
    unlink(outName);
    unlink(errName);
    const double start = nowSeconds();
    const pid_t child = fork();
    if (child == 0) {
        const int input = options.stdinFd >= 0 ? options.stdinFd : ::open("/dev/null", O_RDONLY);
        // As a shell starts a program: no signal ignored or caught from this process.
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
            signal(signalNumber, SIG_DFL);
        }
        for (const std::string& setting : options.environment) {
            putenv(const_cast<char*>(setting.c_str()));
        }
        if (options.ownTerminal) {
            setsid();
            ioctl(input, TIOCSCTTY, 0);
        }
        dup2(input, STDIN_FILENO);
        dup2(options.stdoutFd >= 0 ? options.stdoutFd : out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        if (options.closeStdin) {
            ::close(STDIN_FILENO);
        }
        if (options.closeStdout) {
            ::close(STDOUT_FILENO);
        }
        execOrExit(argv);
    }
    if (options.whileRunning) {
        options.whileRunning(child);
    }
    RunResult result;
    int status = 0;
    waitpid(child, &status, 0);
    result.seconds = nowSeconds() - start;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.out = slurp(out);
    result.err = slurp(err);
    ::close(out);
    ::close(err);
    return result;
}

Background::Background(const std::vector<std::string>& argv) {
    pid = fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execOrExit(argv);
    }
}

Background::~Background() {
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

bool haveProgram(const std::string& name) {
    return runProgram({"sh", "-c", "command -v \"$0\"", name}).status == 0;
}

Bytes frameOf(uint8_t mid, const Bytes& data) {
    return pelorix::encodeFrame(mid, data);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

std::string hex(const Bytes& bytes) {
    std::string text;
    char pair[4];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02X ", byte);
        text += pair;
    }
    return text;
}

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace testing_support
