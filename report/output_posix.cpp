// What the run writes, on POSIX: console text and the files beside its work.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "report/messages.h"
#include "report/output_file.h"

namespace qorv {

bool environmentValue(const char* name, std::string* value) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return false;
    }
    *value = text;
    return true;
}

std::string errorText(int errnoValue) {
    return std::strerror(errnoValue);
}

namespace output_system {

std::string refusalBeforeOpening(const std::string& path) {
    // A tty or a FIFO would do something of its own when opened.
    struct stat before {};
    if (stat(path.c_str(), &before) != 0 || S_ISREG(before.st_mode)) {
        return "";
    }
    return S_ISDIR(before.st_mode) ? "it is a directory" : "it is no regular file";
}

bool open(const std::string& path, bool append, Handle* handle, bool* created,
          std::string* reason) {
    struct stat before {};
    *created = stat(path.c_str(), &before) != 0;
    // O_NONBLOCK: should a FIFO take its place meanwhile, the open fails instead of waiting.
    const int fd = ::open(
        path.c_str(),
        O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (append ? O_APPEND : 0), 0666);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return false;
    }
    *handle = fd;
    return true;
}

std::string refusalOf(Handle handle) {
    struct stat opened {};
    return fstat(static_cast<int>(handle), &opened) == 0 && S_ISREG(opened.st_mode)
               ? ""
               : "it is no regular file";
}

// By device and inode.
bool isFile(Handle handle, const char* other) {
    struct stat opened {};
    struct stat named {};
    return fstat(static_cast<int>(handle), &opened) == 0 && stat(other, &named) == 0 &&
           named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

bool empty(Handle handle, std::string* reason) {
    if (ftruncate(static_cast<int>(handle), 0) != 0) {
        *reason = std::strerror(errno);
        return false;
    }
    return true;
}

void discard(Handle handle, const std::string& path, bool created) {
    close(static_cast<int>(handle));
    if (created) {
        unlink(path.c_str());
    }
}

std::FILE* stream(Handle handle, bool append, const std::string& path, bool created,
                  std::string* reason) {
    const int fd = static_cast<int>(handle);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = fdopen(fd, append ? "a" : "w");
    if (file == nullptr) {
        *reason = std::strerror(errno);
        discard(handle, path, created);
    }
    return file;
}

bool descriptorForLines(long number, Handle* handle, std::string* reason) {
    const int fd = static_cast<int>(number);
    const int flags = fcntl(fd, F_GETFL);
    if (fd <= STDERR_FILENO) {
        *reason = "it is standard input, output or error";
        return false;
    }
    if (flags == -1) {
        *reason = "it is not open";
        return false;
    }
    if ((flags & O_ACCMODE) == O_RDONLY) {
        *reason = "it is not open for writing";
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))) {
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    *handle = fd;
    return true;
}

bool writeLine(Handle handle, const char* line, size_t length) {
    const int fd = static_cast<int>(handle);
    size_t written = 0;
    while (written < length) {
        const ssize_t put = write(fd, line + written, length - written);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0) {
            // A full pipe loses the line; a reader that has gone ends the feed.
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        written += static_cast<size_t>(put);
    }
    return true;
}

}  // namespace output_system

bool appendWholeLine(std::FILE* file, const std::string& line, int* error) {
    const int fd = fileno(file);
    ssize_t put;
    do {
        put = write(fd, line.data(), line.size());
    } while (put < 0 && errno == EINTR);
    if (put == static_cast<ssize_t>(line.size())) {
        return true;
    }
    *error = put < 0 ? errno : EFBIG;
    if (put > 0) {
        struct stat info {};
        const off_t end = lseek(fd, 0, SEEK_CUR);
        if (end >= put && fstat(fd, &info) == 0 && info.st_size == end &&
            ftruncate(fd, end - put) != 0) {
            *error = errno;
        }
    }
    return false;
}

void writeConsole(bool toError, const char* text, size_t length) {
    std::FILE* stream = toError ? stderr : stdout;
    std::fwrite(text, 1, length, stream);
    std::fflush(stream);
}

bool utcTime(std::time_t time, std::tm* parts) {
    return gmtime_r(&time, parts) != nullptr;
}

const char* permissionHint() {
#ifdef __linux__
    return "permission denied: serial ports belong to the dialout group (uucp on some "
           "distributions); add yourself with: sudo usermod -aG dialout \"$USER\", then log out "
           "and in again";
#else
    return "permission denied: this user may not open the port";
#endif
}

bool errorCodesShown() {
    return false;
}

}  // namespace qorv
