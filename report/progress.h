// Progress for programs: with QORV_PROGRESS set, one JSON object per line is written as the run
// goes: a line when each step begins (each store block its own), and one when the run ends. The
// value is a descriptor the program was started with (on Windows an inherited handle's number),
// never standard input, output or error; or a file path, opened under the record's rules and
// appended to. The format is described in docs/run-record.md.
#pragma once

#include <cstdint>
#include <string>

#include "report/output_file.h"

namespace qorv {

class ProgressFeed {
  public:
    // Opens the feed if QORV_PROGRESS asks for one; a value refused is said on standard error and
    // changes nothing else.
    void start(const char* settingsPath, const char* portDevice);
    // A step begins: `step` a keyword of the record's, `block` 1-16 for a store block, else 0.
    // Called from within the port's exchanges, so it does not allocate.
    void stepBegins(const char* step, int32_t block);
    // The run has ended: its exit status, and for a failure the step, the block, the cause and
    // the first line of its explanation.
    void ended(int exitStatus, const std::string& step, int32_t block, const std::string& cause,
               const std::string& reason);

  private:
    void put(const char* line, size_t length);

    bool open = false;
    output_system::Handle descriptor = 0;
    OwnedFile file;
};

}  // namespace qorv
