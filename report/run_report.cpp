#include "report/run_report.h"

#include "protocol/store_layout.h"
#include "report/diagnosis.h"
#include "report/messages.h"

namespace qorv {

void RunReport::start(DeviceChannel& port, const RunArguments& runArguments) {
    arguments = runArguments;
    const PortSpec& typed = *arguments.port;
    record.start(typed.argument, typed.device, arguments.baudRate, arguments.file);
    trace.start(arguments.file, typed.device);
    progress.start(arguments.file, typed.device);
    progress.stepBegins(stepKeyword(Step::OpenPort), 0);
    if (arguments.baudArgument != nullptr && typed.kind == PortKind::Server && !typed.telnet) {
        tell(
            "a raw device server line keeps the server's own settings: the baud rate %s is not "
            "applied (rfc2217:// sets it)",
            arguments.baudArgument);
    }
    port.setTrace(&RunReport::onEvent, this);
}

void RunReport::onEvent(void* self, DeviceChannel::TraceEvent event, const uint8_t* bytes,
                        int32_t count) {
    RunReport& report = *static_cast<RunReport*>(self);
    // A request frame: preamble, bus id, message id, length, data (its group and index first for
    // a store block: 00 group index).
    if (event == DeviceChannel::TRACE_EXCHANGE_BEGIN && count > 2) {
        const uint8_t mid = bytes[2];
        const uint8_t* data = bytes + SHORT_HEADER_SIZE;
        const bool block = mid == MID_STORE_BLOCK && count > SHORT_HEADER_SIZE + 2;
        report.exchangeStep = mid == MID_PROBE          ? Step::Probe
                              : mid == MID_REQ_IDENTITY ? Step::Identity
                              : block                   ? Step::Block
                                                        : Step::Finish;
        report.exchangeBlock = block ? data[1] * BLOCKS_PER_GROUP + data[2] + 1 : 0;
        report.exchangeStartedMs = DeviceChannel::nowMs();
        report.progress.stepBegins(stepKeyword(report.exchangeStep), report.exchangeBlock);
    } else if (event == DeviceChannel::TRACE_EXCHANGE_END) {
        report.record.exchangeTimed(stepKeyword(report.exchangeStep), report.exchangeBlock,
                                    DeviceChannel::nowMs() - report.exchangeStartedMs);
    }
    report.trace.onEvent(event, bytes, count);
}

void RunReport::failed(const Failure& failure) {
    const Cause cause = causeOf(failure);
    // A port that did not open: the system's reason and what it means (no such port, who holds
    // it).
    keepFirstTold(&failedReason, failure.step == Step::OpenPort ? 2 : 1);
    explainFailure(failure, cause, arguments);
    keepFirstTold(nullptr);
    failedStep = stepKeyword(failure.step);
    failedBlock = failure.step == Step::Block ? failure.block : 0;
    failedCause = causeKeyword(cause);
    record.failed(failedStep.c_str(), failedBlock, failedCause.c_str(), failure.channel);
}

void RunReport::finish(int exitStatus) {
    record.finish(exitStatus);
    progress.ended(exitStatus, failedStep, failedBlock, failedCause, failedReason);
}

void RunReport::portSelected(const PortSpec& argument, const PortSelection& selection,
                             const DeviceChannel& port) {
    const bool picked = selection.matches.size() == 1;
    keepFirstTold(picked ? nullptr : &failedReason);
    tellSelection(argument.argument, selection);
    keepFirstTold(nullptr);
    if (!picked) {
        const Cause cause =
            selection.matches.empty() ? Cause::NoMatchingPort : Cause::AmbiguousPort;
        failedStep = stepKeyword(Step::OpenPort);
        failedCause = causeKeyword(cause);
        record.failed(failedStep.c_str(), 0, failedCause.c_str(), port);
    }
}

void RunReport::endUnacknowledged(const DeviceChannel& port) {
    warnEndUnacknowledged(port);
}

void RunReport::portOpened(const DeviceChannel& port) {
    record.portOpened(port);
    if (port.stopBits() == 1) {
        tell("%s: its driver does not take two stop bits: the line has one", port.openedName());
    }
}

}  // namespace qorv
