#include "report/run_report.h"

#include "report/diagnosis.h"

namespace qorv {

void RunReport::start(DeviceChannel& port, const RunArguments& runArguments) {
    arguments = runArguments;
    record.start(arguments.port, arguments.portDevice, arguments.baudRate, arguments.file);
    trace.start(port, arguments.file, arguments.portDevice);
}

void RunReport::exchangeTimed(Step step, int32_t block, int32_t milliseconds) {
    record.exchangeTimed(stepKeyword(step), block, milliseconds);
}

void RunReport::failed(const Failure& failure) {
    const Cause cause = causeOf(failure);
    explainFailure(failure, cause, arguments);
    record.failed(stepKeyword(failure.step), failure.step == Step::Block ? failure.block : 0,
                  causeKeyword(cause), failure.channel);
}

void RunReport::endUnacknowledged(const DeviceChannel& port) {
    warnEndUnacknowledged(port);
}

}  // namespace qorv
