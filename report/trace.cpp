#include "report/trace.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "report/messages.h"
#include "report/output_file.h"

namespace qorv {

WireTrace::~WireTrace() {
    if (out == nullptr) {
        return;
    }
    flushDropped();
    if ((ownsFile ? std::fclose(out) : std::fflush(out)) != 0 && !writeFailed) {
        writeFailed = true;
        writeError = errno;
    }
    if (writeFailed) {
        tell("the trace could not be written to %s (%s); it is incomplete", path.c_str(),
             errorText(writeError).c_str());
    }
}

void WireTrace::start(const char* settingsPath, const char* portDevice) {
    if (!environmentValue("QORV_TRACE", &path)) {
        return;
    }
    if (path == "-") {
        out = stderr;
        path = "standard error";
    } else {
        std::string reason;
        // Emptying the run record's file would lose the records of earlier runs.
        std::string recordPath;
        environmentValue("QORV_REPORT", &recordPath);
        out = openOutputFile(path, OUTPUT_TEXT_EMPTIED, settingsPath, portDevice,
                             {recordPath.empty() ? nullptr : recordPath.c_str(),
                              "the run record's file (QORV_REPORT)"},
                             &reason);
        if (out == nullptr) {
            tell("cannot write the trace to %s (%s); running without a trace", path.c_str(),
                 reason.c_str());
            return;
        }
        ownsFile = true;
    }
}

void WireTrace::onEvent(DeviceChannel::TraceEvent event, const uint8_t* bytes, int32_t count) {
    if (out == nullptr || event == DeviceChannel::TRACE_EXCHANGE_BEGIN ||
        event == DeviceChannel::TRACE_EXCHANGE_END) {
        return;
    }
    const int32_t now = DeviceChannel::nowMs();
    if (event == DeviceChannel::TRACE_DROPPED) {
        if (dropped.empty()) {
            droppedAt = now;
        }
        dropped.insert(dropped.end(), bytes, bytes + count);
        return;
    }
    flushDropped();
    const char* direction = event == DeviceChannel::TRACE_SENT    ? "sent"
                            : event == DeviceChannel::TRACE_EARLY ? "stale"
                                                                  : "received";
    writeLine(now, direction, bytes, static_cast<size_t>(count));
}

void WireTrace::flushDropped() {
    if (!dropped.empty()) {
        writeLine(droppedAt, "dropped", dropped.data(), dropped.size());
        dropped.clear();
    }
}

void WireTrace::writeLine(int32_t ms, const char* direction, const uint8_t* bytes, size_t count) {
    if (writeFailed) {
        return;
    }
    bool written = std::fprintf(out, "%7d ms  %-8s ", static_cast<int>(ms), direction) >= 0;
    for (size_t i = 0; i < count && written; ++i) {
        written = std::fprintf(out, i == 0 ? "%02x" : " %02x", bytes[i]) >= 0;
    }
    written = written && std::fputc('\n', out) != EOF && std::fflush(out) == 0;
    if (!written) {
        writeFailed = true;
        writeError = errno;
    }
}

}  // namespace qorv
