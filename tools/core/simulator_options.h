// How the simulated device behaves; shared by vandry-sim and the monitor's
// built-in device.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vandry_tools {

class OptionParser;

struct SimulatorOptions {
    std::vector<std::uint8_t> payload_types{2};  // cycled frame by frame
    double rate_hz = 100;                          // frames per second
    bool irregular_writes = false;                 // writes of 1..300 bytes
    bool noise = false;                            // bytes between frames (never a head)
    bool hostile = false;                          // faults a host must survive
    std::uint32_t seed = 1;
    std::uint64_t frame_limit = 0;   // stop streaming after this many frames; 0: no limit
    std::uint64_t vanish_after = 0;  // close the port after this many frames, like an unplug
    double return_after = 0;         // then come back as a new port after this many seconds
    bool serve = false;              // after a stop frame, wait for the next request
    std::string log_path;            // a JSON line per frame: the records a host holds after it
    std::string link_path;           // a symbolic link to the port
    bool verbose = true;             // say on stderr what happens
};

// Declares the options that shape the simulated stream, with the same names,
// ranges and list syntax in both tools; `prefix` is "" for vandry-sim and
// "sim-" for the monitor's built-in device.
void add_stream_options(OptionParser& parser, SimulatorOptions& options, std::string_view prefix);

}  // namespace vandry_tools
