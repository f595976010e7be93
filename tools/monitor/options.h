// vandry-monitor's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "simulator.h"

namespace vandry_monitor {

enum class SourceKind { simulated, port, hidraw, replay };
enum class SbusSource { channels, bank0, bank1 };

struct MonitorOptions {
    SourceKind source = SourceKind::simulated;
    std::string path;           // the port, hidraw device or capture file
    unsigned baud = 115200;
    std::uint8_t param1 = 0;    // argument bytes of the request frame
    std::uint8_t param2 = 0;
    std::string record_path;    // capture of the port's bytes
    std::uint64_t frames = 0;   // stop after this many updates; 0: no limit
    double seconds = 0;         // stop after this long; 0: no limit
    bool json = false;
    std::string sbus_out;
    double sbus_rate = 0;       // frames per second; 0: one per update
    SbusSource sbus_source = SbusSource::channels;
    vandry_sim::SimulatorOptions simulator;  // for the built-in device
};

struct ParseResult {
    std::optional<MonitorOptions> options;  // empty: print message and exit
    std::string message;
    int exit_status = 0;
};

ParseResult parse_options(int argc, char** argv);

extern const char* const kUsage;

}  // namespace vandry_monitor
