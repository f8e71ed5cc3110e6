// The yardstick of a paced store: a client with no overhead of its own. It opens the terminal
// raw, writes each request of a store the moment the answer to the last one is whole, and reads
// with a blocking poll, so that its time is the line's time and the emulator's, nothing more.
//   ideal_client TTY
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "protocol/frame.h"
#include "protocol/store_layout.h"
#include "sim/frames.h"

namespace {

bool exchange(int fd, const std::vector<uint8_t>& request, std::vector<uint8_t>& input) {
    if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        return false;
    }
    std::vector<uint8_t> frame;
    while (!pelorix::takeFrame(input, &frame)) {
        pollfd watch{fd, POLLIN, 0};
        if (poll(&watch, 1, 1000) <= 0) {
            return false;
        }
        uint8_t bytes[256];
        const ssize_t got = ::read(fd, bytes, sizeof bytes);
        if (got <= 0) {
            return false;
        }
        input.insert(input.end(), bytes, bytes + got);
    }
    return frame[2] == request[2] + 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ideal_client TTY\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_NOCTTY);
    termios tio{};
    if (fd < 0 || tcgetattr(fd, &tio) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    std::vector<uint8_t> input;
    bool ok = exchange(fd, pelorix::encodeFrame(qorv::MID_PROBE, {}), input) &&
              exchange(fd, pelorix::encodeFrame(qorv::MID_REQ_IDENTITY, {}), input);
    for (int block = 0; ok && block < qorv::STORE_BLOCKS; ++block) {
        std::vector<uint8_t> data(qorv::STORE_MESSAGE_SIZE, 0x5A);
        data[0] = 0x00;
        data[1] = static_cast<uint8_t>(block / qorv::BLOCKS_PER_GROUP);
        data[2] = static_cast<uint8_t>(block % qorv::BLOCKS_PER_GROUP);
        ok = exchange(fd, pelorix::encodeFrame(qorv::MID_STORE_BLOCK, data), input);
    }
    ok = ok && exchange(fd, pelorix::encodeFrame(qorv::MID_FINISH, {}), input);
    close(fd);
    return ok ? 0 : 1;
}
