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

    // The port argument is read once; a USB adapter named by what it is opens as the device it
    // is, when it is the one present.
    PortSpec port = parsePort(portArgument);
    const PortSelection selection = selectPort(port);
    const bool selected = selection.matches.size() == 1;
    if (selected) {
        const std::string chosen = deviceToOpen(selection.matches[0]);
        std::snprintf(port.device, sizeof port.device, "%s", chosen.c_str());
    }
    report.start(portChannel, {fileArgument, &port, baudRate, arguments == 3 ? argv[3] : nullptr});
    if (selected) {
        report.portSelected(port, selection, portChannel);
    }
    say("Opening COM port...");
    const bool unselected = port.kind == PortKind::UsbSelector && !selected;
    const ResultCode opened =
        unselected ? RESULT_OPEN_FAILED
                   : portChannel.openPort(port, baudRate, IN_QUEUE_SIZE, OUT_QUEUE_SIZE);
    if (opened != RESULT_OK) {
        say("ERROR: Can not open COM port %s\n", portArgument);
        if (unselected) {
            report.portSelected(port, selection, portChannel);
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
