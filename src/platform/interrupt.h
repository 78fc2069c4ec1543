// Ctrl-C for a console program that wants to end cleanly instead of being ended at once.
#pragma once

#include "common/stop_flag.h"

namespace tavrel::platform {

// From now on Ctrl-C (Windows: also Ctrl-Break and closing the console window; POSIX: also
// SIGTERM) raises `flag` instead of ending the process. `flag` must outlive the process.
void raise_on_interrupt(StopFlag& flag);

}  // namespace tavrel::platform
