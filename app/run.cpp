#include "app/run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/console.h"
#include "app/store.h"
#include "channel/device_channel.h"
#include "qorv_version.h"
#include "report/diagnosis.h"
#include "report/messages.h"
#include "report/run_report.h"

namespace qorv {

namespace {

constexpr int32_t DEFAULT_BAUD_RATE = 115200;
constexpr int32_t IN_QUEUE_SIZE = 4096;
constexpr int32_t OUT_QUEUE_SIZE = 1024;

const char USAGE_TEXT[] =
    "Qorv writer\n"
    "Parse Qorv file and writes Qorv data to attached Pelorix\n"
    "\n"
    "Usage: QorvWriter path+Qorvfilename portNumber [baudrate=115200]\n"
    "       path+Qorvfilename\t: Location and filename of input Qorv file\n"
    "       portNumber\t\t: COM port at which Pelorix is attached\n"
    "       baudrate\t\t\t: (Optional) Baudrate, default 115200\n"
    "\n";

// "COMn" in any letter case is port n, as Windows names it, also written out as the device
// "\\.\COMn"; anything else is read as a number.
int32_t portNumberOf(const char* argument) {
    if (std::strncmp(argument, "\\\\.\\", 4) == 0) {
        argument += 4;
    }
    const bool named = (argument[0] | 0x20) == 'c' && (argument[1] | 0x20) == 'o' &&
                       (argument[2] | 0x20) == 'm' && argument[3] >= '0' && argument[3] <= '9';
    return std::atoi(named ? argument + 3 : argument);
}

// A port argument with a '/' names the device itself; any other is a COM port number.
bool isDevicePath(const char* argument) {
    return std::strchr(argument, '/') != nullptr;
}

}  // namespace

int runCommand(int argc, const char* const* argv) {
    prepareProcess();
    // Destroyed in reverse order: the port channel is closed first, the trace and record after.
    RunReport report;
    DeviceChannel fileChannel;
    DeviceChannel portChannel;

    const int arguments = argc - 1;
    if (arguments < 2) {
        say(USAGE_TEXT);
        // Which tool this is, then the ports there are to use it on.
        const char version[] = "QorvWriter " QORV_VERSION "\n";
        writeConsole(true, version, sizeof version - 1);
        listPortsPresent();
        waitForKey();
        return 1;
    }
    const char* fileArgument = argv[1];
    const char* portArgument = argv[2];
    const int32_t baudRate = arguments == 3 ? std::atoi(argv[3]) : DEFAULT_BAUD_RATE;

    // A USB adapter named by what it is opens as the device it is, when it is the one present.
    const PortSelection selection = selectPort(portArgument);
    const bool selected = selection.matches.size() == 1;
    const bool numbered = !selection.selector && !isDevicePath(portArgument);
    const int32_t portNumber = numbered ? portNumberOf(portArgument) : 0;
    char portDevice[64];
    DeviceChannel::portDeviceName(portNumber, portDevice, sizeof portDevice);
    const std::string chosen = selected ? deviceToOpen(selection.matches[0]) : "";
    const char* device = numbered ? portDevice : selected ? chosen.c_str() : portArgument;
    report.start(portChannel, {fileArgument, portArgument, device, portNumber, numbered, baudRate,
                               arguments == 3 ? argv[3] : nullptr});
    if (selected) {
        report.portSelected(portArgument, selection, portChannel);
    }
    say("Opening COM port...");
    const ResultCode opened =
        selection.selector && !selected ? RESULT_OPEN_FAILED
        : numbered ? portChannel.openPort(portNumber, baudRate, IN_QUEUE_SIZE, OUT_QUEUE_SIZE)
                   : portChannel.openPortPath(device, baudRate, IN_QUEUE_SIZE, OUT_QUEUE_SIZE);
    if (opened != RESULT_OK) {
        say("ERROR: Can not open COM port %s\n", portArgument);
        if (selection.selector && !selected) {
            report.portSelected(portArgument, selection, portChannel);
        } else {
            report.failed({Step::OpenPort, portChannel, opened});
        }
        report.finish(1);
        return 1;
    }
    say("done\n\n");
    report.portOpened(portChannel);

    const int status =
        runStore(portChannel, fileChannel, fileArgument, portArgument, report) ? 0 : 1;
    report.finish(status);
    return status;
}

}  // namespace qorv
