#include "simulator_options.h"

#include <cstdio>

#include "options.h"

namespace vandry_tools {
namespace {

std::string list_text(const std::vector<std::uint8_t>& items) {
    std::string out;
    for (auto item : items) {
        if (!out.empty()) out += ',';
        out += std::to_string(item);
    }
    return out;
}

}  // namespace

void add_stream_options(OptionParser& parser, SimulatorOptions& options, std::string_view prefix) {
    const std::string p(prefix);
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g", options.rate_hz);
    parser.list(p + "types", "LIST", options.payload_types,
                "payload types to cycle through (default " + list_text(options.payload_types) +
                    "): 0 channels, 1 banks, 2 both; other types are sent with both and change nothing in a host");
    parser.positive(p + "rate", "HZ", options.rate_hz, 20000,
                    std::string("frames per second (default ") + rate + ")");
    parser.flag(p + "noise", options.noise, "noise bytes (never a frame head) between frames");
    parser.flag(p + "hostile", options.hostile,
                "mix in faults a host must survive: false heads, wrong tails, short frames, unknown commands, "
                "request frames around upload frames, lengths beyond any buffer");
    parser.flag(p + "irregular", options.irregular_writes, "write in pieces of random size (1..300 bytes)");
    parser.number(p + "seed", "N", options.seed, 0, UINT32_MAX, "seed for sizes, noise and faults (default 1)");
}

}  // namespace vandry_tools
