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
    return sender_.name() + ": holding datagrams back until the device sends " + std::string(map_.missing(sources)) +
           ", which the channel map reads";
}

std::string UdpOutput::summary() const {
    const std::uint64_t sent = sender_.sent();
    std::string text = sender_.name() + ": " + std::to_string(sent) + " " + std::string(udp_format_name(format_)) +
                       (sent == 1 ? " datagram" : " datagrams") + " sent";
    if (const std::string failures = sender_.failures(); !failures.empty()) text += "; " + failures;
    if (held_back_ != 0) text += "; " + std::to_string(held_back_) + " held back until the device sent what the map reads";
    return text;
}

}  // namespace vandry_bridge
