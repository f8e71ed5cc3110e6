// The CPU a COM port's silent wait costs under Windows (or wine), against a bare 1 ms poll loop
// on the same port. Each run does one of them; the caller measures the process (and, under wine,
// the wine server) around it and takes off a run that only opens the port.
//   win32_wait_bench COMn open            open and close the port
//   win32_wait_bench COMn exchange N      N unanswered probes through DeviceChannel
//   win32_wait_bench COMn bare MS         ClearCommError and Sleep(1) for MS milliseconds
// Prints the wall time of the wait in ms.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "channel/device_channel.h"

namespace {

double wallMs() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || std::strncmp(argv[1], "COM", 3) != 0) {
        std::fprintf(stderr, "usage: win32_wait_bench COMn open|exchange N|bare MS\n");
        return 2;
    }
    const int port = std::atoi(argv[1] + 3);
    const int amount = argc > 3 ? std::atoi(argv[3]) : 0;
    qorv::DeviceChannel channel;
    if (channel.openPort(port, 115200, 4096, 1024) != qorv::RESULT_OK) {
        std::fprintf(stderr, "cannot open COM%d\n", port);
        return 1;
    }
    const double start = wallMs();
    if (std::strcmp(argv[2], "exchange") == 0) {
        for (int i = 0; i < amount; ++i) {
            channel.sendCommand(qorv::MID_PROBE, 0, 0, qorv::BID_DEFAULT);
        }
    }
    channel.close();
    if (std::strcmp(argv[2], "bare") == 0) {
        char name[32];
        std::snprintf(name, sizeof name, "\\\\.\\COM%d", port);
        HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
        while (handle != INVALID_HANDLE_VALUE && wallMs() - start < amount) {
            DWORD errors = 0;
            COMSTAT status{};
            ClearCommError(handle, &errors, &status);
            Sleep(1);
        }
        CloseHandle(handle);
    }
    std::printf("%.1f\n", wallMs() - start);
    return 0;
}
