#include "udp_outputs.h"

#include <algorithm>

#include "platform.h"

namespace vandry_tools {
namespace {

void tell(const std::string& text) { write_stderr("vandry-monitor: " + text + "\n"); }

// Without a map, output k carries channel k, and output 16 its centre.
vandry_bridge::ChannelMap pulse_map(const MonitorOptions& options) {
    if (options.map) return *options.map;
    return vandry_bridge::ChannelMap::identity(vandry_bridge::SourceRecord::channels, vandry_bridge::kPulseRange);
}

}  // namespace

UdpOutputs::UdpOutputs(const MonitorOptions& options, double start) : start_(start) {
    outputs_.reserve(options.udp_outputs.size());
    for (const UdpOutputOptions& o : options.udp_outputs) {
        outputs_.push_back(Output{o.endpoint, vandry_bridge::UdpOutput(o.format, pulse_map(options)),
                                  Repeater(options.udp_rate, 0, options.stale_seconds)});
    }
}

std::string UdpOutputs::open() {
    std::string error;
    for (Output& output : outputs_) {
        if (!output.udp.open(output.endpoint, error)) return error;
    }
    return {};
}

bool UdpOutputs::wants_json() const {
    return std::any_of(outputs_.begin(), outputs_.end(), [](const Output& o) { return !o.maps_values(); });
}

void UdpOutputs::update(const DeviceValues& values, std::string_view json_line, double now) {
    latest_ = values;
    json_line_ = json_line;
    for (Output& output : outputs_) take(output, now, output.renewed_by(values));
}

void UdpOutputs::json_update(std::string_view json_line, double now) {
    json_line_ = json_line;
    for (Output& output : outputs_) {
        if (!output.maps_values()) take(output, now);
    }
}

void UdpOutputs::unmapped_update(std::string_view json_line, double now) {
    json_line_ = json_line;
    for (Output& output : outputs_) {
        take(output, now, !output.maps_values() || output.udp.map().renewed_by(latest_.sources(), {}));
    }
}

void UdpOutputs::values_update(const DeviceValues& values, double now) {
    latest_ = values;
    for (Output& output : outputs_) {
        if (output.maps_values()) take(output, now, output.renewed_by(values));
    }
}

// One datagram per update goes out at once, not at the next service, so that
// updates read together are not merged into one.
void UdpOutputs::take(Output& output, double now, bool renews) {
    output.repeater.update(now, renews);
    pump(output, now);
}

void UdpOutputs::pump(Output& output, double now) {
    const std::string change = output.repeater.says(now, output.udp.sender().name(), "the peer");
    if (!change.empty()) tell(change);
    if (!output.repeater.due(now)) return;
    if (const auto message = output.udp.publish(latest_.sources(), now - start_, json_line_)) tell(*message);
}

void UdpOutputs::service(double now) {
    for (Output& output : outputs_) pump(output, now);
}

double UdpOutputs::next_wake(double now) const {
    double wake = now + 3600;
    for (const Output& output : outputs_) wake = std::min(wake, output.repeater.next_wake(now));
    return wake;
}

void UdpOutputs::finish() const {
    for (const Output& output : outputs_) tell(output.udp.summary());
}

}  // namespace vandry_tools
