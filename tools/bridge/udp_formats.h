// The datagrams the UDP outputs send. Flight-stack simulators take RC input
// as pulse widths in µs, little-endian:
//
//   betaflight   double timestamp (seconds), then 16 x uint16   40 bytes
//   ardupilot    16 x uint16                                    32 bytes
//   ardupilot8   the first 8 x uint16                           16 bytes
//   json         one JSON line (the caller's text, ended by a newline)
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "channel_map.h"

namespace vandry_bridge {

enum class UdpFormat : std::uint8_t { betaflight, ardupilot, ardupilot8, json };

std::optional<UdpFormat> parse_udp_format(std::string_view name);
std::string_view udp_format_name(UdpFormat format);
inline constexpr std::string_view kUdpFormatNames = "betaflight, ardupilot, ardupilot8 or json";

inline constexpr std::size_t kLargestPulseDatagram = 40;
using PulseDatagram = std::array<std::uint8_t, kLargestPulseDatagram>;

// The datagram of a pulse-width format, packed into `buffer`; empty for json.
std::span<const std::uint8_t> pack_pulse_datagram(UdpFormat format, double seconds, const OutputValues& pulses,
                                                  PulseDatagram& buffer);

// The json format's datagram: the line, with exactly one newline at its end,
// so that line-oriented readers (nc, a script's readline) see whole lines.
void pack_json_datagram(std::string_view line, std::string& datagram);

}  // namespace vandry_bridge
