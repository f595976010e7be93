// The monitor's SBUS output: frames from the latest values, one per update
// or at a fixed rate, never faster than the line carries, never in a burst
// after a stall, and none while the data is stale.
#pragma once

#include <cstdint>
#include <string>

#include "monitor_options.h"
#include "pacing.h"
#include "platform.h"
#include "port_feeder.h"

namespace vandry_tools {

inline constexpr double kSbusFrameSeconds = 0.003;  // 25 bytes of 12 bits at 100000 baud

class SbusSender {
public:
    SbusSender(SbusLine& line, const MonitorOptions& options);

    void update(const PortRecords& records, double now);  // new values from the device
    // Sends what is due. Returns false when the output failed for good: see error().
    bool service(double now);
    double next_wake(double now) const;
    const std::string& error() const { return error_; }
    void finish() const;  // a word on stderr if frames could not go out

private:
    bool send(double now);
    void tell(const std::string& text) const;

    SbusLine& line_;
    std::string path_;
    SbusSource source_;
    double rate_;
    Ticker ticker_;
    Freshness freshness_;
    PortRecords latest_{};
    bool pending_ = false;    // an update not yet sent (one frame per update)
    double last_sent_ = -1;
    bool waiting_for_reader_ = false;
    std::uint64_t sent_ = 0;
    std::uint64_t busy_ = 0;  // frames the line had no room for
    std::string error_;
};

}  // namespace vandry_tools
