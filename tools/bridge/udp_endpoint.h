// Where a UDP output sends: HOST:PORT with an IPv4 literal, [ADDRESS]:PORT
// with an IPv6 literal, or localhost. Names are never looked up, so that a
// resolver cannot stall the monitor or send the sticks off the machine:
// localhost:PORT is 127.0.0.1, [localhost]:PORT is ::1.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vandry_bridge {

struct UdpEndpoint {
    enum class Family : std::uint8_t { ipv4, ipv6 };
    Family family = Family::ipv4;
    std::array<std::uint8_t, 16> address{};  // network order; IPv4 uses the first 4 bytes
    std::uint16_t port = 0;
    std::string text;                        // as it was written, for messages
};

// On failure, `error` quotes the text and says what is wrong with it.
std::optional<UdpEndpoint> parse_udp_endpoint(std::string_view text, std::string& error);

}  // namespace vandry_bridge
