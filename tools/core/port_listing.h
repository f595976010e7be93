// vandry-monitor --list-ports: the serial ports a user can give to --port.
#pragma once

namespace vandry_tools {

// Prints one port a line on stdout ("NAME -> where it leads"); says on
// stderr when there are none. Returns the exit status.
int print_serial_ports();

}  // namespace vandry_tools
