#include "udp_formats.h"

#include <gtest/gtest.h>

#include <vector>

namespace vandry_bridge {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Pulse k is 1000 + 67 k: 0x03E8, 0x042B, ... 0x07D5, every low byte different.
OutputValues test_pulses() {
    OutputValues pulses{};
    for (std::size_t k = 0; k < pulses.size(); ++k) pulses[k] = static_cast<std::uint16_t>(1000 + 67 * k);
    return pulses;
}

Bytes pulse_bytes(std::size_t count) {
    Bytes bytes;
    for (std::size_t k = 0; k < count; ++k) {
        const unsigned pulse = 1000 + 67 * static_cast<unsigned>(k);
        bytes.push_back(static_cast<std::uint8_t>(pulse % 256));
        bytes.push_back(static_cast<std::uint8_t>(pulse / 256));
    }
    return bytes;
}

Bytes concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST(UdpFormats, NamesRoundTripAndStrangersAreRefused) {
    for (const auto format : {UdpFormat::betaflight, UdpFormat::ardupilot, UdpFormat::ardupilot8, UdpFormat::json}) {
        EXPECT_EQ(parse_udp_format(udp_format_name(format)), format);
    }
    for (const char* name : {"", "Betaflight", "ardupilot16", "json ", "sbus"}) EXPECT_FALSE(parse_udp_format(name)) << name;
}

TEST(UdpFormats, PulseDatagramsAreLittleEndianByteForByte) {
    const struct {
        UdpFormat format;
        double seconds;
        Bytes want;
    } cases[] = {
        {UdpFormat::betaflight, 1.5, concat({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x3F}, pulse_bytes(16))},
        {UdpFormat::betaflight, 123.456, concat({0x77, 0xBE, 0x9F, 0x1A, 0x2F, 0xDD, 0x5E, 0x40}, pulse_bytes(16))},
        {UdpFormat::ardupilot, 1.5, pulse_bytes(16)},
        {UdpFormat::ardupilot8, 1.5, pulse_bytes(8)},
        {UdpFormat::json, 1.5, {}},
    };
    for (const auto& c : cases) {
        PulseDatagram buffer;
        buffer.fill(0xAA);
        const auto datagram = pack_pulse_datagram(c.format, c.seconds, test_pulses(), buffer);
        EXPECT_EQ(Bytes(datagram.begin(), datagram.end()), c.want) << udp_format_name(c.format) << " " << c.seconds;
    }
    // The first pulses, written out by hand: 1000 = E8 03, 1067 = 2B 04.
    EXPECT_EQ(pulse_bytes(2), (Bytes{0xE8, 0x03, 0x2B, 0x04}));
    EXPECT_EQ(pulse_bytes(16).size(), 32u);
}

TEST(UdpFormats, JsonDatagramIsTheLineWithOneNewline) {
    const struct {
        const char* line;
        const char* want;
    } cases[] = {
        {R"({"update":1})", "{\"update\":1}\n"},
        {"{}\n", "{}\n"},
        {"{}\r\n", "{}\n"},
        {"", "\n"},
    };
    for (const auto& c : cases) {
        std::string datagram = "left over";
        pack_json_datagram(c.line, datagram);
        EXPECT_EQ(datagram, c.want) << c.line;
    }
}

}  // namespace
}  // namespace vandry_bridge
