// vandry-monitor's run: a source (the built-in device, a serial port, a
// HID device or a capture), the view, and the optional capture and SBUS
// outputs. OS-neutral: everything system-specific is behind platform.h.
#pragma once

#include "monitor_options.h"

namespace vandry_tools {

// Returns the exit status: 0 for a run that ended as asked (also when
// nobody reads stdout any more), 1 for a failure, which it has reported.
int run_monitor(MonitorOptions options);

}  // namespace vandry_tools
