// Test support: real pseudo-terminals, temporary files and running the built command.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// A pseudo-terminal pair, raw on both sides. The tool side opens `path`; the test is the peer
// on `master`.
class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& path() const { return slavePath; }
    int masterFd() const { return master; }
    int slaveFd() const { return slave; }

    void write(const Bytes& bytes) const;
    // Writes in pieces of `chunk` bytes with a short pause between them.
    void writeChunked(const Bytes& bytes, size_t chunk, int pauseMs = 2) const;
    // Reads what arrives until `count` bytes came or `timeoutMs` passed.
    Bytes read(size_t count, int timeoutMs = 1000) const;
    // Everything that arrives within `quietMs` of silence.
    Bytes drain(int quietMs = 50) const;
    void hangUp();

  private:
    int master = -1;
    int slave = -1;
    std::string slavePath;
};

// A temporary directory removed with its contents at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    std::string file(const std::string& name) const { return root + "/" + name; }
    const std::string& path() const { return root; }

  private:
    std::string root;
};

void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);

struct FileStamp {
    Bytes content;
    struct timespec modified;
    bool operator==(const FileStamp& other) const;
};
FileStamp stampOf(const std::string& path);

struct RunResult {
    int status = -1;  // exit status, -1 when a signal ended the program
    int signal = 0;   // the signal that ended it
    std::string out;
    std::string err;
    double seconds = 0;
};

// How a program is started: where its standard streams come from, and what the test does while
// it runs.
struct RunOptions {
    int stdinFd = -1;   // stdin from here instead of /dev/null
    int stdoutFd = -1;  // stdout to here instead of being captured
    bool closeStdin = false;
    bool closeStdout = false;
    bool ownTerminal = false;              // stdinFd, a terminal, becomes its controlling terminal
    std::vector<std::string> environment;  // "NAME=value" added to the program's environment
    std::function<void(pid_t)> whileRunning;
};

// Runs a program with stdin from /dev/null (or from `stdinFd`), capturing both output streams.
RunResult runProgram(const std::vector<std::string>& argv, int stdinFd = -1);
RunResult runProgram(const std::vector<std::string>& argv, const RunOptions& options);

// A program running beside the test, its output discarded; ended (SIGTERM) at destruction.
class Background {
  public:
    explicit Background(const std::vector<std::string>& argv);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

  private:
    pid_t pid = -1;
};

// Whether a program is on the PATH.
bool haveProgram(const std::string& name);

// Frame bytes written out by hand for comparisons, independent of the tool's encoder.
Bytes frameOf(uint8_t mid, const Bytes& data);
Bytes concat(std::initializer_list<Bytes> parts);
std::string hex(const Bytes& bytes);

#ifdef QORV_TEST_LINE_SPEED
// The rate the tty on `fd` runs at, as a number (non-standard rates included); -1 on failure.
long lineSpeedOf(int fd);
#endif

// Monotonic seconds, for generous time bounds.
double nowSeconds();
// CPU time used by this process so far, in seconds.
double processCpuSeconds();

}  // namespace testing_support
