// One UDP output as the monitor drives it: the latest device values, mapped
// onto pulse widths and packed in the output's format, go out as one
// datagram. When and how often is the caller's decision (per update, at a
// rate, or not at all while the device's data is stale).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "channel_map.h"
#include "udp_formats.h"
#include "udp_sender.h"

namespace vandry_bridge {

class UdpOutput {
public:
    // The map's range is the pulse range (kPulseRange) for the simulators'
    // formats; the json format ignores the map.
    UdpOutput(UdpFormat format, ChannelMap map) : format_(format), map_(std::move(map)) {}

    bool open(const UdpEndpoint& endpoint, std::string& error) { return sender_.open(endpoint, error); }

    // Sends one datagram from `sources` (json: `json_line`), stamped with
    // `seconds` where the format has a time. Returns a message the first time
    // a send fails, and the first time a datagram is held back because the
    // map reads a record the device has not sent yet.
    std::optional<std::string> publish(const SourceValues& sources, double seconds, std::string_view json_line);

    // What went out, for the end of the run: "UDP output HOST:PORT: 12
    // betaflight datagrams sent", then what failed or was held back.
    std::string summary() const;

    UdpFormat format() const { return format_; }
    const ChannelMap& map() const { return map_; }
    const UdpSender& sender() const { return sender_; }
    std::uint64_t held_back() const { return held_back_; }

private:
    std::optional<std::string> hold_back(const SourceValues& sources);

    UdpFormat format_;
    ChannelMap map_;
    UdpSender sender_;
    PulseDatagram pulse_buffer_{};
    std::string json_buffer_;
    std::uint64_t held_back_ = 0;
};

}  // namespace vandry_bridge
