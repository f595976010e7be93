// vandry-monitor: shows what a Vandry device sends, from a serial port, a
// HID device, a capture, or a built-in simulated device. It is also the
// reference host: it drives the library only through its public header.
#include "monitor.h"
#include "platform.h"
#include "port_listing.h"

int main(int argc, char** argv) {
    vandry_tools::open_standard_streams();
    vandry_tools::MonitorOptions options;
    const auto outcome = vandry_tools::parse_monitor_options(argc, argv, vandry_tools::stdout_is_terminal(), options);
    if (!outcome.run) {
        return vandry_tools::print_outcome(outcome, "vandry-monitor");
    }
    if (options.list_ports) return vandry_tools::print_serial_ports();
    return vandry_tools::run_monitor(options);
}
