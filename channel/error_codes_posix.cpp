// What the POSIX back end's codes mean, apart from its calls, so that the in-memory back end of
// the tests and fuzzers means the same.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "channel/net.h"
#include "channel/platform.h"
#include "channel/posix_codes.h"
#include "channel/server_line.h"

namespace qorv {
namespace platform {

// This back end's own codes are negative; errno values are positive.
bool isSystemError(int code) {
    return code > 0;
}

// A write that stalls is given up by poll(); a tty read never waits on the driver.
bool isDriverStopped(int) {
    return false;
}

// The open's calls all go by the name of the open.
const char* openCallName(OpenCall) {
    return nullptr;
}

int connectionEndedError() {
    return ERROR_HUNG_UP;
}

int sendStalledError() {
    return ETIMEDOUT;
}

void describeError(int osError, char* out, size_t size) {
    const char* text = serverErrorText(osError) != nullptr ? serverErrorText(osError)
                       : osError == ERROR_NOT_A_FILE       ? "Not a regular file"
                       : osError == ERROR_HUNG_UP          ? "the line hung up"
                       : osError == ERROR_MARKED_EXCLUSIVE ? std::strerror(EBUSY)
                       : osError == ERROR_OWN_TERMINAL ? "it is the terminal this program runs in"
                                                       : std::strerror(osError);
    std::snprintf(out, size, "%s", text);
}

void describeOpenError(int osError, const OpenFailure& failure, char* out, size_t size) {
    if (osError == ERROR_RATE_NOT_MADE) {
        const long asked = failure.rateAsked;
        if (failure.rateBelow > 0 && failure.rateAbove > 0) {
            std::snprintf(out, size,
                          "its clock makes %ld and %ld baud near %ld, not %ld within 3%%",
                          static_cast<long>(failure.rateBelow),
                          static_cast<long>(failure.rateAbove), asked, asked);
        } else {
            // A driver that makes no rate on one side (its lowest or highest).
            std::snprintf(
                out, size, "its clock makes %ld baud nearest %ld, not %ld within 3%%",
                static_cast<long>(failure.rateBelow > 0 ? failure.rateBelow : failure.rateAbove),
                asked, asked);
        }
        return;
    }
    describeError(osError, out, size);
}

bool isHangUp(int ioError) {
    return ioError == ERROR_HUNG_UP;
}

bool isWriteStall(int ioError) {
    return ioError == ETIMEDOUT;
}

OpenProblem classifyOpenError(int osError, OpenCall) {
    switch (osError) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            return OPEN_NOT_FOUND;
        case EACCES:
        case EPERM:
            return OPEN_DENIED;
        case EBUSY:
            return OPEN_BUSY;
        case ERROR_MARKED_EXCLUSIVE:
            return OPEN_MARKED_EXCLUSIVE;
        case ERROR_NAME_NOT_RESOLVED:
        case ERROR_NAME_TOO_SLOW:
        case ERROR_BAD_ADDRESS:
        case ECONNREFUSED:
        case ETIMEDOUT:
        case EHOSTUNREACH:
        case ENETUNREACH:
            return OPEN_SERVER_UNREACHABLE;
        case EINVAL:
        case ERROR_RATE_NOT_MADE:
            return OPEN_SETTINGS_REFUSED;
        default:
            return OPEN_OTHER;
    }
}

}  // namespace platform
}  // namespace qorv
