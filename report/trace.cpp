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

void WireTrace::start(DeviceChannel& port, const char* settingsPath, const char* portDevice) {
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
    port.setTrace(&WireTrace::onEvent, this);
}

void WireTrace::onEvent(void* self, DeviceChannel::TraceEvent event, const uint8_t* bytes,
                        int32_t count) {
    WireTrace& trace = *static_cast<WireTrace*>(self);
    const int32_t now = DeviceChannel::nowMs();
    if (event == DeviceChannel::TRACE_DROPPED) {
        if (trace.dropped.empty()) {
            trace.droppedAt = now;
        }
        trace.dropped.insert(trace.dropped.end(), bytes, bytes + count);
        return;
    }
    trace.flushDropped();
    const char* direction = event == DeviceChannel::TRACE_SENT    ? "sent"
                            : event == DeviceChannel::TRACE_EARLY ? "stale"
                                                                  : "received";
    trace.writeLine(now, direction, bytes, static_cast<size_t>(count));
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
