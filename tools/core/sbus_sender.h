// The monitor's SBUS output: frames from the latest values, one per update
// or at a fixed rate, never faster than the line carries, never in a burst
// after a stall, and none while the data is stale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "channel_map.h"
#include "device_values.h"
#include "monitor_options.h"
#include "pacing.h"
#include "platform.h"

namespace vandry_tools {

inline constexpr double kSbusFrameSeconds = 0.003;  // 25 bytes of 12 bits at 100000 baud

class SbusSender {
public:
    SbusSender(SbusLine& line, const MonitorOptions& options);

    void update(const DeviceValues& values, double now);  // new values from the device
    // Sends what is due. Returns false when the output failed for good: see error().
    bool service(double now);
    double next_wake(double now) const { return repeater_.next_wake(now); }
    const std::string& error() const { return error_; }
    void finish() const;  // a word on stderr if frames could not go out

private:
    std::optional<sbus_frame> frame();
    bool send();
    void tell(const std::string& text) const;

    SbusLine& line_;
    std::string path_;
    SbusSource source_;
    // With a channel map, the map scales onto 0..2047; without one, the
    // library's convert_std_sbus_data does.
    std::optional<vandry_bridge::ChannelMap> map_;
    Repeater repeater_;
    DeviceValues latest_;
    bool waiting_for_reader_ = false;
    std::uint64_t sent_ = 0;
    std::uint64_t busy_ = 0;       // frames the line had no room for
    std::uint64_t held_back_ = 0;  // frames the map could not fill yet
    std::string error_;
};

}  // namespace vandry_tools
