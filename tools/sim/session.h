// The simulated device at work on a pseudo-terminal (POSIX only): it waits
// for the request frame, streams pieces at the requested rate, logs each
// frame once its last byte is written, and stops on the stop frame.
#pragma once

#include <cstdio>

#include "pty.h"
#include "simulator_options.h"

namespace vandry_tools {

// Returns the process exit status. A device that holds the port's side
// itself (pty.slave) outlives its hosts and may vanish and return; one that
// holds none (the monitor's built-in device) ends when its host closes the
// port. `log` may be null; `link`, if any, follows the port when it returns.
int run_device(Pty& pty, const SimulatorOptions& options, std::FILE* log, PortLink* link);

}  // namespace vandry_tools
