#include "report/output_file.h"

namespace qorv {

std::FILE* openOutputFile(const std::string& path, OutputKind kind, const char* settingsPath,
                          const char* portDevice, OtherFile otherOutput, std::string* reason) {
    const OtherFile avoid[] = {
        {settingsPath, "the settings file"}, {portDevice, "the port"}, otherOutput};
    const bool append = kind == OUTPUT_LINES_APPENDED;
    *reason = output_system::refusalBeforeOpening(path);
    if (!reason->empty()) {
        return nullptr;
    }
    output_system::Handle handle = 0;
    bool created = false;
    if (!output_system::open(path, append, &handle, &created, reason)) {
        return nullptr;
    }
    const auto refuse = [&](const std::string& why) -> std::FILE* {
        output_system::discard(handle, path, created);
        *reason = why;
        return nullptr;
    };
    // Looked at again once open: another file may have taken the name meanwhile.
    const std::string notPlain = output_system::refusalOf(handle);
    if (!notPlain.empty()) {
        return refuse(notPlain);
    }
    // A settings file named only by this path exists now, if it is this file.
    for (const OtherFile& other : avoid) {
        if (other.path != nullptr && output_system::isFile(handle, other.path)) {
            return refuse(std::string("it is ") + other.what);
        }
    }
    std::string failure;
    if (!append && !output_system::empty(handle, &failure)) {
        return refuse(failure);
    }
    return output_system::stream(handle, append, path, created, reason);
}

}  // namespace qorv
