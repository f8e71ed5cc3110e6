#pragma once

namespace qorv {

// The whole command: arguments, port, store procedure. Returns the exit status.
int runCommand(int argc, const char* const* argv);

}  // namespace qorv
