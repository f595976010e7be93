#include "udp_formats.h"

#include <bit>
#include <limits>

namespace vandry_bridge {

namespace {

static_assert(std::numeric_limits<double>::is_iec559, "the betaflight timestamp is an IEEE 754 double");

constexpr std::array<std::string_view, 4> kNames = {"betaflight", "ardupilot", "ardupilot8", "json"};

// Byte by byte, so that the datagram is little-endian whatever the host is.
std::uint8_t* put_le(std::uint8_t* at, std::uint64_t value, std::size_t bytes) {
    for (std::size_t k = 0; k < bytes; ++k) at[k] = static_cast<std::uint8_t>(value >> (8 * k));
    return at + bytes;
}

std::uint8_t* put_pulses(std::uint8_t* at, const OutputValues& pulses, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) at = put_le(at, pulses[k], 2);
    return at;
}

}  // namespace

std::optional<UdpFormat> parse_udp_format(std::string_view name) {
    for (std::size_t k = 0; k < kNames.size(); ++k) {
        if (kNames[k] == name) return static_cast<UdpFormat>(k);
    }
    return std::nullopt;
}

std::string_view udp_format_name(UdpFormat format) { return kNames[static_cast<std::size_t>(format)]; }

std::span<const std::uint8_t> pack_pulse_datagram(UdpFormat format, double seconds, const OutputValues& pulses,
                                                  PulseDatagram& buffer) {
    std::uint8_t* const start = buffer.data();
    std::uint8_t* end = start;
    switch (format) {
    case UdpFormat::betaflight:
        end = put_pulses(put_le(start, std::bit_cast<std::uint64_t>(seconds), 8), pulses, 16);
        break;
    case UdpFormat::ardupilot: end = put_pulses(start, pulses, 16); break;
    case UdpFormat::ardupilot8: end = put_pulses(start, pulses, 8); break;
    case UdpFormat::json: break;
    }
    return {start, static_cast<std::size_t>(end - start)};
}

void pack_json_datagram(std::string_view line, std::string& datagram) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    datagram.assign(line);
    datagram += '\n';
}

}  // namespace vandry_bridge
