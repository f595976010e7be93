#include "udp_endpoint.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

namespace vandry_bridge {
namespace {

using Family = UdpEndpoint::Family;
using Address = std::array<std::uint8_t, 16>;

constexpr Address kLoopback4 = {127, 0, 0, 1};
constexpr Address kLoopback6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

TEST(UdpEndpoint, ParsesLiteralsAndLocalhost) {
    const struct {
        const char* text;
        Family family;
        Address address;
        std::uint16_t port;
    } cases[] = {
        {"127.0.0.1:9004", Family::ipv4, kLoopback4, 9004},
        {"localhost:5501", Family::ipv4, kLoopback4, 5501},
        {"LocalHost:1", Family::ipv4, kLoopback4, 1},
        {"[localhost]:9004", Family::ipv6, kLoopback6, 9004},
        {"[::1]:65535", Family::ipv6, kLoopback6, 65535},
        {"192.168.1.20:5501", Family::ipv4, {192, 168, 1, 20}, 5501},
        {"[2001:db8::a:B]:80", Family::ipv6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0a, 0, 0x0b}, 80},
        {"[::ffff:10.0.0.7]:7", Family::ipv6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 7}, 7},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto endpoint = parse_udp_endpoint(c.text, error);
        ASSERT_TRUE(endpoint) << c.text << ": " << error;
        EXPECT_EQ(endpoint->family, c.family) << c.text;
        EXPECT_EQ(endpoint->address, c.address) << c.text;
        EXPECT_EQ(endpoint->port, c.port) << c.text;
        EXPECT_EQ(endpoint->text, c.text);
    }
}

TEST(UdpEndpoint, BadTextIsQuotedWithTheFault) {
    const struct {
        const char* text;
        const char* fault;
    } cases[] = {
        {"", "expected HOST:PORT"},
        {"localhost", "expected HOST:PORT"},
        {"127.0.0.1:", "port '' is not a number in 1..65535"},
        {"127.0.0.1:0", "port '0'"},
        {"127.0.0.1:65536", "port '65536'"},
        {"127.0.0.1:+80", "port '+80'"},
        {"127.0.0.1: 80", "port ' 80'"},
        {"sitl.example:9004", "not an IPv4 address or localhost (names are not looked up)"},
        {"127.0.0.01:9004", "not an IPv4 address"},
        {"::1:9004", "an IPv6 address goes in brackets"},
        {"[::1]", "expected [ADDRESS]:PORT"},
        {"[::1]9004", "expected [ADDRESS]:PORT"},
        {"[::1:9004", "no ']'"},
        {"[fe80::1%lo]:9004", "zone ids"},
        {"[1::2::3]:9004", "'1::2::3' is not an IPv6 address"},
        {"[127.0.0.1]:9004", "not an IPv6 address"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(parse_udp_endpoint(c.text, error)) << c.text;
        EXPECT_NE(error.find(std::string("UDP output '").append(c.text).append("': ")), std::string::npos) << error;
        EXPECT_NE(error.find(c.fault), std::string::npos) << c.text << " -> " << error;
    }
}

// The system's own parser is the oracle for what a literal means.
TEST(UdpEndpoint, LiteralsAgreeWithInetPton) {
    const char* const ipv4[] = {"0.0.0.0", "1.2.3.4", "255.255.255.255", "256.1.1.1", "01.2.3.4", "1.2.3",
                                "1.2.3.4.5", "1..3.4", "1.2.3.-4", " 1.2.3.4", "1.2.3.4 ", "1.2.3.a", "1.2.3.1000"};
    const char* const ipv6[] = {"::", "::1", "1::", "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7::", "::2:3:4:5:6:7:8",
                                "1:2:3:4:5:6:1.2.3.4", "::1.2.3.4", "ffff::FFFF", "0:0::0:0", "1:2:3:4:5:6:7:8:9",
                                "1:2:3:4:5:6:7", ":::", "1:::2", ":1::", "1::2:", "12345::", "::g", "1::2::3",
                                "1.2.3.4::", "::1.2.3", "::256.1.1.1", "1:2:3:4:5:6:7:1.2.3.4", "::1.2.3.4:5", "",
                                ":", "1:2:3:4:5:6::1.2.3.4", "::ffff:1.2.3.04", "00000::"};
    const struct {
        int af;
        const char* const* texts;
        std::size_t count;
        const char* before;
        const char* after;
    } families[] = {{AF_INET, ipv4, std::size(ipv4), "", ":1"}, {AF_INET6, ipv6, std::size(ipv6), "[", "]:1"}};
    for (const auto& family : families) {
        for (std::size_t k = 0; k < family.count; ++k) {
            const std::string literal = family.texts[k];
            Address want{};
            const bool valid = inet_pton(family.af, literal.c_str(), want.data()) == 1;
            std::string error;
            const auto endpoint = parse_udp_endpoint(family.before + literal + family.after, error);
            ASSERT_EQ(endpoint.has_value(), valid) << "'" << literal << "': " << error;
            if (valid) {
                EXPECT_EQ(endpoint->address, want) << literal;
            }
        }
    }
}

}  // namespace
}  // namespace vandry_bridge
