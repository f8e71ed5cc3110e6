// What a run tells beyond its fixed lines on standard output: for a step that failed, one
// description of the failure, classified once here and rendered twice (the explanation on
// standard error and the run record); the wire trace; the record's facts as the run finds them.
#pragma once

#include <cstdint>

#include "channel/device_channel.h"
#include "channel/ports.h"
#include "report/progress.h"
#include "report/run_record.h"
#include "report/trace.h"

namespace qorv {

// The steps of a run. (Their keywords in diagnosis.cpp follow this order.)
enum class Step { OpenPort, Probe, OpenFile, ReadSettings, Identity, Block, Finish };

// A step that failed, as the command saw it; the rest is read off the channel.
struct Failure {
    Step step;
    // The port, or the settings file for OpenFile and ReadSettings.
    const DeviceChannel& channel;
    // What the step's call returned.
    ResultCode result = RESULT_OK;
    // 1-16 for a store block.
    int32_t block = 0;
    // The identity reply read, or the settings data read (its length only).
    const uint8_t* data = nullptr;
    uint16_t length = 0;
};

// The command line as the reporting side needs it.
struct RunArguments {
    const char* file;
    // The port argument as read (its text as typed, the device it names).
    const PortSpec* port;
    int32_t baudRate;
    // The baud rate as typed, or null when none was given.
    const char* baudArgument;
};

class RunReport {
  public:
    // Opens the run record if QORV_REPORT asks for one, then the trace if QORV_TRACE does (the
    // trace refuses the record's file), and takes the events of `port`: every exchange is timed
    // for the record.
    void start(DeviceChannel& port, const RunArguments& arguments);
    // Keeps what the open port is, and says when it would not take two stop bits.
    void portOpened(const DeviceChannel& port);
    // The settings bytes that are (or would be) sent, and no more.
    void settingsRead(const uint8_t* data, int32_t length) { record.settingsRead(data, length); }
    void identityRead(const uint8_t* identity, uint16_t length) {
        record.identityRead(identity, length);
    }
    // A step failed: why, on standard error and in the record.
    void failed(const Failure& failure);
    // The port argument was a selector: what it picked, or that it picked no port or several,
    // which fails the open.
    void portSelected(const PortSpec& argument, const PortSelection& selection,
                      const DeviceChannel& port);
    // The end of the sequence was not acknowledged; the data is stored all the same.
    void endUnacknowledged(const DeviceChannel& port);
    // Writes the record and the progress feed's last line; the run's exit status.
    void finish(int exitStatus);

  private:
    // The port's events: frames for the trace, exchanges timed for the record.
    static void onEvent(void* self, DeviceChannel::TraceEvent event, const uint8_t* bytes,
                        int32_t count);

    RunArguments arguments{};
    // The exchange in progress: its step, its block (1-16) and when it began.
    Step exchangeStep = Step::Probe;
    int32_t exchangeBlock = 0;
    int32_t exchangeStartedMs = 0;
    // The failure, for the progress feed's last line: step, block, cause keywords and the first
    // line of the explanation.
    std::string failedStep;
    int32_t failedBlock = 0;
    std::string failedCause;
    std::string failedReason;
    // Closed in reverse order: the progress feed, the record, then the trace.
    WireTrace trace;
    RunRecord record;
    ProgressFeed progress;
};

}  // namespace qorv
