#include "app/trace.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/messages.h"

namespace qorv {

WireTrace::~WireTrace() {
    if (out == nullptr) {
        return;
    }
    flushDropped();
    if (ownsFile) {
        std::fclose(out);
    } else {
        std::fflush(out);
    }
}

void WireTrace::start(DeviceChannel& port) {
    const char* path = std::getenv("QORV_TRACE");
    if (path == nullptr || *path == '\0') {
        return;
    }
    if (std::strcmp(path, "-") == 0) {
        out = stderr;
    } else {
        out = std::fopen(path, "w");
        if (out == nullptr) {
            tell("cannot write the trace to %s (%s); running without a trace", path,
                 std::strerror(errno));
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
    std::fprintf(out, "%7d ms  %-8s ", static_cast<int>(ms), direction);
    for (size_t i = 0; i < count; ++i) {
        std::fprintf(out, i == 0 ? "%02x" : " %02x", bytes[i]);
    }
    std::fputc('\n', out);
    std::fflush(out);
}

}  // namespace qorv
