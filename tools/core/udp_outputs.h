// The monitor's UDP outputs: each sends a datagram per update, or at
// --udp-rate, with the values mapped and packed in its format, and none
// while the device's data is stale (the same rule as the SBUS output). A
// failed send is said once and counted, never fatal: a simulator that is not
// running yet refuses datagrams, and the next one carries newer values.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "device_values.h"
#include "monitor_options.h"
#include "pacing.h"
#include "udp_output.h"

namespace vandry_tools {

class UdpOutputs {
public:
    // `start` is when the run started: the betaflight timestamp counts from it.
    UdpOutputs(const MonitorOptions& options, double start);

    std::string open();  // empty, or why an output cannot open, naming it
    bool empty() const { return outputs_.empty(); }
    bool wants_json() const;  // whether any output sends the update's JSON line

    // New values from the device, with the update's JSON line (or "" when no
    // output wants it).
    void update(const DeviceValues& values, std::string_view json_line, double now);
    // An update for the json outputs only: one of a backlog, which the
    // outputs that map values pass over (see Monitor's catching up).
    void json_update(std::string_view json_line, double now);
    // An update with no values to map (a game-controller report): the json
    // outputs send it; to the others it is an update that carries nothing
    // they read, so that one that never had values says what it waits for.
    void unmapped_update(std::string_view json_line, double now);
    // The newest values for the outputs that map them, at the end of a backlog.
    void values_update(const DeviceValues& values, double now);

    void service(double now);  // sends what is due at a fixed rate; says when data went stale
    double next_wake(double now) const;
    void finish() const;  // one line per output: what it sent and what failed

private:
    struct Output {
        vandry_bridge::UdpEndpoint endpoint;
        vandry_bridge::UdpOutput udp;
        Repeater repeater;
        bool maps_values() const { return udp.format() != vandry_bridge::UdpFormat::json; }
        // json sends every update as it is; the others need the values their map reads.
        bool renewed_by(const DeviceValues& values) const { return !maps_values() || values.renews(udp.map()); }
    };

    void take(Output& output, double now, bool renews = true);
    void pump(Output& output, double now);

    double start_;
    std::vector<Output> outputs_;
    DeviceValues latest_;
    std::string json_line_;
};

}  // namespace vandry_tools
