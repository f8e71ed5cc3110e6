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

std::FILE* openOutputFile(const std::string& path, OutputKind kind, const char* settingsPath,
                          const char* portDevice, OtherFile otherOutput, std::string* reason) {
    const OtherFile avoid[] = {
        {settingsPath, "the settings file"}, {portDevice, "the port"}, otherOutput};
    const bool append = kind == OUTPUT_LINES_APPENDED;
    // Looked at before it is opened: opening a tty or a FIFO does something of its own.
    struct stat before {};
    const bool existed = stat(path.c_str(), &before) == 0;
    if (existed && !S_ISREG(before.st_mode)) {
        *reason = S_ISDIR(before.st_mode) ? "it is a directory" : "it is no regular file";
        return nullptr;
    }
    // O_NONBLOCK: should a FIFO take its place meanwhile, the open fails instead of waiting.
    const int fd = open(
        path.c_str(),
        O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (append ? O_APPEND : 0), 0666);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return nullptr;
    }
    const auto refuse = [&](const std::string& why) -> std::FILE* {
        close(fd);
        if (!existed) {
            unlink(path.c_str());
        }
        *reason = why;
        return nullptr;
    };
    struct stat opened {};
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        return refuse("it is no regular file");
    }
    // Compared by device and inode, so that another name or a link to it is caught too; a
    // settings file named only by this path exists now, if it is this file.
    for (size_t i = 0; i < sizeof avoid / sizeof avoid[0]; ++i) {
        struct stat other {};
        if (avoid[i].path != nullptr && stat(avoid[i].path, &other) == 0 &&
            other.st_dev == opened.st_dev && other.st_ino == opened.st_ino) {
            return refuse(std::string("it is ") + avoid[i].what);
        }
    }
    if (!append && ftruncate(fd, 0) != 0) {
        return refuse(std::strerror(errno));
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = fdopen(fd, append ? "a" : "w");
    if (file == nullptr) {
        return refuse(std::strerror(errno));
    }
    return file;
}

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
