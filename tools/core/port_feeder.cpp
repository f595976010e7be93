#include "port_feeder.h"

namespace vandry_tools {

void PortFeeder::forget_pending_bytes() {
    static const std::uint8_t zeros[250] = {};
    static_assert(2 * sizeof zeros == VANDRY_PORT_BUFFER_SIZE);
    parse_port_data(zeros, sizeof zeros, nullptr, nullptr);
    parse_port_data(zeros, sizeof zeros, nullptr, nullptr);
}

}  // namespace vandry_tools
