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
    } else if (event == DeviceChannel::TRACE_EXCHANGE_END) {
        report.record.exchangeTimed(stepKeyword(report.exchangeStep), report.exchangeBlock,
                                    DeviceChannel::nowMs() - report.exchangeStartedMs);
    }
    report.trace.onEvent(event, bytes, count);
}

void RunReport::failed(const Failure& failure) {
    const Cause cause = causeOf(failure);
    explainFailure(failure, cause, arguments);
    record.failed(stepKeyword(failure.step), failure.step == Step::Block ? failure.block : 0,
                  causeKeyword(cause), failure.channel);
}

void RunReport::portSelected(const PortSpec& argument, const PortSelection& selection,
                             const DeviceChannel& port) {
    tellSelection(argument.argument, selection);
    if (selection.matches.size() != 1) {
        const Cause cause =
            selection.matches.empty() ? Cause::NoMatchingPort : Cause::AmbiguousPort;
        record.failed(stepKeyword(Step::OpenPort), 0, causeKeyword(cause), port);
    }
}

void RunReport::endUnacknowledged(const DeviceChannel& port) {
    warnEndUnacknowledged(port);
}

}  // namespace qorv
