// A standard stream of this process taken into a file for the length of one run of the command in
// process, as a redirected stream is; on Windows in text mode (CR LF line ends).
#pragma once

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace testing_support {

class Capture {
  public:
    explicit Capture(int fd) : fd(fd), file(std::tmpfile()) {}
    ~Capture() { std::fclose(file); }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    void begin() {
        std::fflush(nullptr);
        std::fseek(file, 0, SEEK_END);
        start = std::ftell(file);
#ifdef _WIN32
        saved = _dup(fd);
        _dup2(_fileno(file), fd);
        _setmode(fd, _O_TEXT);
#else
        saved = dup(fd);
        dup2(fileno(file), fd);
#endif
    }
    // What the stream took since begin().
    std::string end() {
        std::fflush(nullptr);
#ifdef _WIN32
        _dup2(saved, fd);
        _close(saved);
#else
        dup2(saved, fd);
        close(saved);
#endif
        std::fseek(file, start, SEEK_SET);
        std::string text;
        char chunk[4096];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            text.append(chunk, got);
        }
        return text;
    }

  private:
    int fd;
    std::FILE* file;
    int saved = -1;
    long start = 0;
};

}  // namespace testing_support
