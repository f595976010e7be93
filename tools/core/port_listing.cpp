#include "port_listing.h"

#include <string>

#include "platform.h"

namespace vandry_tools {

int print_serial_ports() {
    std::string error;
    const auto ports = list_serial_ports(error);
    if (!error.empty()) {
        write_stderr("vandry-monitor: " + error + "\n");
        return 1;
    }
    if (ports.empty()) {
        write_stderr("vandry-monitor: no serial ports found (is the device plugged in?)\n");
        return 0;
    }
    std::string text;
    for (const auto& port : ports) text += port.name + (port.detail.empty() ? "" : " -> " + port.detail) + "\n";
    std::string failure;
    if (write_stdout(text, failure) == WriteStatus::failed) {
        write_stderr("vandry-monitor: " + failure + "\n");
        return 1;
    }
    return 0;
}

}  // namespace vandry_tools
