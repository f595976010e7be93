// vandry-monitor's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "channel_map.h"
#include "options.h"
#include "simulator_options.h"
#include "udp_endpoint.h"
#include "udp_formats.h"

namespace vandry_tools {

enum class SourceKind { simulated, port, hidraw, replay };
enum class SbusSource { channels, bank0, bank1 };

struct UdpOutputOptions {
    vandry_bridge::UdpEndpoint endpoint;
    vandry_bridge::UdpFormat format = vandry_bridge::UdpFormat::json;
};

struct MonitorOptions {
    SourceKind source = SourceKind::simulated;
    std::string path;            // the port, HID device or capture
    bool list_ports = false;     // only list the serial ports
    unsigned baud = 115200;
    std::uint8_t param1 = 0;     // argument bytes of the request frame
    std::uint8_t param2 = 0;
    bool reconnect = false;      // wait for a vanished port and open it again
    std::string record_path;
    double replay_speed = 1;     // 0: as fast as possible
    bool replay_speed_given = false;  // a raw file has no pace to follow
    std::uint64_t frames = 0;    // stop after this many updates; 0: no limit
    double seconds = 0;          // stop after this long; 0: no limit
    bool json = false;           // JSON lines even on a terminal
    unsigned range_low = 0;      // the live view's bar scale
    unsigned range_high = 1200;
    double stale_seconds = 0.5;  // data older than this is stale
    std::string sbus_out;
    double sbus_rate = 0;        // frames per second; 0: one per update
    SbusSource sbus_source = SbusSource::channels;
    std::vector<UdpOutputOptions> udp_outputs;
    double udp_rate = 0;         // datagrams per second; 0: one per update
    // --map and --map-channel, in pulse widths (µs). Without a map, UDP output
    // k carries channel k, and SBUS scales with convert_std_sbus_data.
    std::optional<vandry_bridge::ChannelMap> map;
    SimulatorOptions simulator;  // the built-in device
};

// Why --sbus-out cannot go where it names: into the source's own port, or
// into stdout among the updates. Empty when it can.
std::string sbus_out_conflict(const MonitorOptions& options);

// Parses and checks the command line; `terminal` tells whether stdout is
// one (options of the live view are errors without it).
OptionParser::Outcome parse_monitor_options(int argc, char** argv, bool terminal, MonitorOptions& options);

}  // namespace vandry_tools
