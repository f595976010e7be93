// The command frames that start and stop the device's upload. Each buffer
// has guard bytes behind it, so a frame one byte too long fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "VandryInterface.h"
#include "guarded.h"
#include "library_state.h"

using namespace vandry_test;

namespace {

constexpr std::uint8_t kFill = 0xCC;

template <std::size_t N>
std::array<std::uint8_t, N> contents(const Guarded<std::uint8_t[N]>& buffer) {
    std::array<std::uint8_t, N> out;
    std::copy(std::begin(buffer.value), std::end(buffer.value), out.begin());
    return out;
}

TEST(CommandFrames, RequestUploadWritesSevenBytesUnescaped) {
    using Frame = std::array<std::uint8_t, 7>;
    struct Case {
        std::uint8_t param1, param2;
        Frame expected;
    };
    const Case cases[] = {
        {0x00, 0xFF, {0xFA, 0xE5, 0x02, 0x00, 0x00, 0xFF, 0x5F}},
        {0xFA, 0x5F, {0xFA, 0xE5, 0x02, 0x00, 0xFA, 0x5F, 0x5F}},
        {0x5F, 0xFA, {0xFA, 0xE5, 0x02, 0x00, 0x5F, 0xFA, 0x5F}},
        {0x01, 0x00, {0xFA, 0xE5, 0x02, 0x00, 0x01, 0x00, 0x5F}},
    };
    for (const auto& c : cases) {
        Guarded<std::uint8_t[7]> buffer(kFill);
        request_upload_port_data(buffer.value, c.param1, c.param2);
        EXPECT_EQ(contents(buffer), c.expected) << "param1 " << int(c.param1) << " param2 " << int(c.param2);
        EXPECT_TRUE(guard_intact(buffer));
    }
}

TEST(CommandFrames, StopUploadWritesFiveBytes) {
    Guarded<std::uint8_t[5]> buffer(kFill);
    stop_upload_port_data(buffer.value);
    EXPECT_EQ(contents(buffer), (std::array<std::uint8_t, 5>{0xFA, 0xE4, 0x00, 0x00, 0x5F}));
    EXPECT_TRUE(guard_intact(buffer));
}

TEST(CommandFrames, DoNotTouchTheParserState) {
    drain_parser();
    Guarded<std::uint8_t[3]> head;  // head, command, length low byte
    head.value[0] = 0xFA;
    head.value[1] = 0xA5;
    head.value[2] = 0x1F;
    EXPECT_EQ(parse_port_data(head.value, 3, nullptr, nullptr), 0);
    Guarded<std::uint8_t[7]> buffer(kFill);
    request_upload_port_data(buffer.value, 1, 2);
    stop_upload_port_data(buffer.value);
    Guarded<std::uint8_t[33]> rest;  // length high byte, type 0, 15 values, tail
    rest.value[32] = 0x5F;
    Guarded<channel_values> channels;
    EXPECT_EQ(parse_port_data(rest.value, 33, channels.get(), nullptr), 1);
    EXPECT_TRUE(guard_intact(channels));
    EXPECT_TRUE(guard_intact(buffer));
}

}  // namespace
