#include "udp_endpoint.h"

#include <vector>

#include "text.h"

namespace vandry_bridge {

namespace {

using Address = std::array<std::uint8_t, 16>;
constexpr std::size_t kIpv6Groups = 8;

bool is_localhost(std::string_view host) {
    constexpr std::string_view kName = "localhost";
    if (host.size() != kName.size()) return false;
    for (std::size_t k = 0; k < host.size(); ++k) {
        if ((host[k] | 0x20) != kName[k]) return false;  // names are case-insensitive
    }
    return true;
}

// Four decimal numbers 0..255. A leading zero is refused: some resolvers read
// "010" as octal 8, and the user meant something else either way.
bool parse_ipv4(std::string_view text, std::uint8_t* out) {
    const std::vector<std::string_view> parts = split(text, '.');
    if (parts.size() != 4) return false;
    for (std::size_t k = 0; k < 4; ++k) {
        const std::string_view part = parts[k];
        const bool leading_zero = part.size() > 1 && part[0] == '0';
        const auto value = leading_zero ? std::nullopt : parse_decimal(part, 0, 255);
        if (!value) return false;
        out[k] = static_cast<std::uint8_t>(*value);
    }
    return true;
}

std::optional<std::uint16_t> parse_hex_group(std::string_view text) {
    if (text.empty() || text.size() > 4) return std::nullopt;
    std::uint16_t value = 0;
    for (const char c : text) {
        const int digit = is_digit(c) ? c - '0' : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10 : -1;
        if (digit < 0) return std::nullopt;
        value = static_cast<std::uint16_t>(value << 4 | digit);
    }
    return value;
}

// Colon-separated groups, the last of which may be a dotted IPv4 address
// when `ipv4_tail` allows it, appended to `bytes`.
bool parse_groups(std::string_view text, bool ipv4_tail, std::vector<std::uint8_t>& bytes) {
    if (text.empty()) return true;
    const std::vector<std::string_view> groups = split(text, ':');
    for (std::size_t k = 0; k < groups.size(); ++k) {
        if (ipv4_tail && k + 1 == groups.size() && groups[k].find('.') != std::string_view::npos) {
            std::uint8_t quad[4];
            if (!parse_ipv4(groups[k], quad)) return false;
            bytes.insert(bytes.end(), quad, quad + 4);
            continue;
        }
        const auto value = parse_hex_group(groups[k]);
        if (!value) return false;
        bytes.push_back(static_cast<std::uint8_t>(*value >> 8));
        bytes.push_back(static_cast<std::uint8_t>(*value));
    }
    return true;
}

// Eight groups, or fewer with one "::" standing for the zero groups between.
bool parse_ipv6(std::string_view text, Address& out) {
    const std::size_t gap = text.find("::");
    std::vector<std::uint8_t> head;
    std::vector<std::uint8_t> tail;
    if (gap == std::string_view::npos) {
        if (!parse_groups(text, true, head) || head.size() != 2 * kIpv6Groups) return false;
    } else {
        const std::string_view after = text.substr(gap + 2);
        if (after.find("::") != std::string_view::npos) return false;
        if (!parse_groups(text.substr(0, gap), false, head) || !parse_groups(after, true, tail)) return false;
        if (head.size() + tail.size() > 2 * (kIpv6Groups - 1)) return false;
    }
    out.fill(0);
    std::copy(head.begin(), head.end(), out.begin());
    std::copy(tail.begin(), tail.end(), out.end() - static_cast<std::ptrdiff_t>(tail.size()));
    return true;
}

// The host part into the endpoint's family and address; a problem, or "".
std::string parse_host(std::string_view host, bool bracketed, UdpEndpoint& endpoint) {
    endpoint.family = bracketed ? UdpEndpoint::Family::ipv6 : UdpEndpoint::Family::ipv4;
    if (is_localhost(host)) {
        if (bracketed) endpoint.address[15] = 1;  // ::1
        else endpoint.address = {127, 0, 0, 1};
        return {};
    }
    if (bracketed) {
        if (host.find('%') != std::string_view::npos) return "IPv6 zone ids (%...) are not supported";
        if (!parse_ipv6(host, endpoint.address)) return quoted(host) + " is not an IPv6 address";
        return {};
    }
    if (host.find(':') != std::string_view::npos) return "an IPv6 address goes in brackets: [ADDRESS]:PORT";
    if (!parse_ipv4(host, endpoint.address.data())) {
        return quoted(host) + " is not an IPv4 address or localhost (names are not looked up)";
    }
    return {};
}

std::string parse(std::string_view text, UdpEndpoint& endpoint) {
    const bool bracketed = !text.empty() && text[0] == '[';
    const std::size_t host_end = bracketed ? text.find(']') : text.rfind(':');
    if (host_end == std::string_view::npos) return bracketed ? "no ']' after the IPv6 address" : "expected HOST:PORT";
    const std::size_t colon = bracketed ? host_end + 1 : host_end;
    if (colon >= text.size() || text[colon] != ':') return "expected [ADDRESS]:PORT";
    std::string problem = parse_host(text.substr(bracketed, host_end - bracketed), bracketed, endpoint);
    if (!problem.empty()) return problem;
    const std::string_view port_text = text.substr(colon + 1);
    const auto port = parse_decimal(port_text, 1, 65535);
    if (!port) return "port " + quoted(port_text) + " is not a number in 1..65535";
    endpoint.port = static_cast<std::uint16_t>(*port);
    return {};
}

}  // namespace

std::optional<UdpEndpoint> parse_udp_endpoint(std::string_view text, std::string& error) {
    UdpEndpoint endpoint;
    const std::string problem = parse(text, endpoint);
    if (!problem.empty()) {
        error = "UDP output " + quoted(text) + ": " + problem;
        return std::nullopt;
    }
    endpoint.text = text;
    return endpoint;
}

}  // namespace vandry_bridge
