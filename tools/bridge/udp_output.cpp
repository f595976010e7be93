#include "udp_output.h"

namespace vandry_bridge {

std::optional<std::string> UdpOutput::publish(const SourceValues& sources, double seconds, std::string_view json_line) {
    if (format_ == UdpFormat::json) {
        pack_json_datagram(json_line, json_buffer_);
        return sender_.send({reinterpret_cast<const std::uint8_t*>(json_buffer_.data()), json_buffer_.size()});
    }
    const std::optional<OutputValues> pulses = map_.apply(sources);
    if (!pulses) return hold_back(sources);
    return sender_.send(pack_pulse_datagram(format_, seconds, *pulses, pulse_buffer_));
}

std::optional<std::string> UdpOutput::hold_back(const SourceValues& sources) {
    if (held_back_++ != 0) return std::nullopt;
    const bool channels_missing = map_.reads(SourceRecord::channels) && sources.channels == nullptr;
    return sender_.name() + ": holding datagrams back until the device sends " +
           (channels_missing ? "its 15 channels" : "its banks") + ", which the channel map reads";
}

}  // namespace vandry_bridge
