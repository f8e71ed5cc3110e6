#include "tests/hostile_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "sim/frames.h"
#include "tests/telnet_peer.h"

namespace testing_support {

namespace {

constexpr uint8_t IAC = TELNET_IAC, DO = TELNET_DO, WILL = TELNET_WILL;

void sendAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t put = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (put <= 0) {
            return;
        }
        sent += static_cast<size_t>(put);
    }
}

std::vector<uint8_t> escaped(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out;
    appendEscaped(bytes.data(), bytes.size(), &out);
    return out;
}

void pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

HostileServer::HostileServer(Hostility how, int tcpPort)
    : how(how), device(pelorix::EXPECTED_DEVICE_IDENTITY, {}) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(tcpPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 4);
    thread = std::thread([this, listener] { serve(listener); });
}

HostileServer::~HostileServer() {
    stopping = true;
    if (thread.joinable()) {
        thread.join();
    }
}

std::vector<uint8_t> HostileServer::stored() {
    stopping = true;
    if (thread.joinable()) {
        thread.join();
    }
    return device.stored();
}

void HostileServer::serve(int listener) {
    int client = -1;
    TelnetIn telnet;
    std::vector<uint8_t> input;
    const std::vector<uint8_t> askDo99{IAC, DO, 99};
    while (!stopping) {
        if (client < 0) {
            pollfd waiting{listener, POLLIN, 0};
            if (poll(&waiting, 1, 20) > 0) {
                client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                const int on = 1;
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            }
            continue;
        }
        if (how == Hostility::NeverReads) {
            // Asks without end and never reads: whatever the tool sends piles up.
            const ssize_t put =
                ::send(client, askDo99.data(), askDo99.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (put < 0 && errno != EAGAIN) {
                break;
            }
            if (put < 0) {
                pause(1);
            }
            continue;
        }
        if (how == Hostility::OptionFlood) {
            for (uint8_t option = 60; option < 80; ++option) {
                sendAll(client, {IAC, static_cast<uint8_t>(option % 2 == 0 ? DO : WILL), option});
            }
        }
        pollfd readable{client, POLLIN, 0};
        if (poll(&readable, 1, 5) <= 0) {
            continue;
        }
        uint8_t bytes[4096];
        const ssize_t got = ::recv(client, bytes, sizeof bytes, 0);
        if (got <= 0) {
            break;
        }
        telnet.take(bytes, static_cast<size_t>(got), &input);
        std::vector<uint8_t> frame;
        while (pelorix::takeFrame(input, &frame)) {
            for (const pelorix::Emission& emission : device.take(frame).emissions) {
                const std::vector<uint8_t> out = escaped(emission.bytes);
                if (how == Hostility::OptionFlood) {
                    sendAll(client, {IAC, WILL, 1, IAC, DO, 24, IAC, WILL, 99, IAC, DO, 99});
                    sendAll(client, out);
                    continue;
                }
                for (uint8_t byte : out) {
                    // One byte a segment: an IAC arrives apart from what follows it.
                    sendAll(client, {byte});
                    pause(how == Hostility::Trickle ? 100 : 1);
                }
            }
        }
    }
    if (client >= 0) {
        ::close(client);
    }
    ::close(listener);
}

const std::vector<HostileCase>& hostileServers() {
    static const std::vector<HostileCase> cases{
        {"a server that never reads and asks for an option without end", Hostility::NeverReads,
         false, "probe: no answer within 500 ms"},
        {"a server that floods option requests", Hostility::OptionFlood, true, ""},
        {"a server that trickles one byte per 100 ms", Hostility::Trickle, false,
         "no answer within 500 ms"},
        {"a server that splits every IAC from what follows it", Hostility::SplitIac, true, ""},
    };
    return cases;
}

}  // namespace testing_support
