// A device server that misbehaves, on 127.0.0.1: the device behind it is the simulator's, its
// Telnet is the hostility. One small table of ways (hostileServers()) that both the native and
// the Windows suite run the tool against.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "sim/device.h"

namespace testing_support {

enum class Hostility {
    NeverReads,   // never reads a byte; sends IAC DO 99 without end
    OptionFlood,  // answers, each behind a burst of option requests, and floods them meanwhile
    Trickle,      // answers one byte every 100 ms
    SplitIac,     // answers one byte per segment, so every IAC is split from what follows it
};

class HostileServer {
  public:
    HostileServer(Hostility how, int tcpPort);
    ~HostileServer();
    HostileServer(const HostileServer&) = delete;
    HostileServer& operator=(const HostileServer&) = delete;

    // What the device behind it holds once the tool has gone.
    std::vector<uint8_t> stored();

  private:
    void serve(int listener);

    Hostility how;
    std::atomic<bool> stopping{false};
    pelorix::Device device;
    std::thread thread;
};

struct HostileCase {
    const char* name;
    Hostility how;
    bool stores;      // the store succeeds (else the tool fails, within its limits)
    const char* err;  // a part of standard error ("" for none expected)
};
const std::vector<HostileCase>& hostileServers();

}  // namespace testing_support
