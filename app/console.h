// Console services of the run.
#pragma once

namespace qorv {

// Waits for one keystroke, read without echo. Without a console on standard input it reads one
// byte or the end of the input, so that it never waits on input that cannot come.
void waitForKey();

}  // namespace qorv
