// The exports as a host sees them: the process-wide state of the port
// parser and of the SBUS footer, and null pointers everywhere. ctest runs
// each test in a process of its own, so each starts from the state at load.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "VandryInterface.h"
#include "frame_builder.h"

using namespace vandry_test;

namespace {

std::uint8_t next_footer(const sbus_channels& c) {
    sbus_frame f{};
    encode_sbus_data_v2(&f, &c);
    return f.bytes[24];
}

std::uint8_t expected_footer(unsigned call) { return static_cast<std::uint8_t>((call & 3) << 4 | 0x04); }

TEST(ProcessState, FirstFooterAfterLoadIs04WhateverRanBefore) {
    std::uint8_t buf[7];
    request_upload_port_data(buf, 1, 2);
    stop_upload_port_data(buf);
    channel_values channels{};
    channel_banks banks{};
    parse_port_data(buf, 5, &channels, &banks);
    game_controller_state state{};
    const std::uint8_t report[35] = {0xFA};
    parse_hid_game_controller_device(&state, report, 19);
    parse_hid_compatible_device(&channels, report, 35);
    sbus_channels c{};
    const std::uint16_t src[16] = {};
    convert_std_sbus_data(&c, src);
    sbus_frame f{};
    encode_sbus_data_v1(&f, &c);
    EXPECT_EQ(next_footer(c), 0x04);
}

TEST(ProcessState, FooterCyclesAndPlainEncoderDoesNotDisturbIt) {
    const sbus_channels c{};
    const std::uint8_t want[] = {0x04, 0x14, 0x24, 0x34, 0x04};
    for (std::uint8_t footer : want) {
        sbus_frame plain{};
        encode_sbus_data_v1(&plain, &c);
        EXPECT_EQ(plain.bytes[24], 0x00);
        EXPECT_EQ(next_footer(c), footer);
    }
}

TEST(ProcessState, FooterCycleHoldsAcrossTheCounterWrap) {
    const sbus_channels c{};
    for (unsigned call = 0; call < 1030; ++call) {
        ASSERT_EQ(next_footer(c), expected_footer(call)) << "call " << call;
    }
}

TEST(ProcessState, ParserKeepsAnUnfinishedFrameAcrossCalls) {
    const Bytes frame = upload_frame(VANDRY_PAYLOAD_CHANNELS, ramp(15, 100));
    channel_values channels{};
    EXPECT_EQ(parse_port_data(frame.data(), 3, &channels, nullptr), 0);
    // An empty chunk or a null pointer changes nothing, even with bytes pending.
    EXPECT_EQ(parse_port_data(frame.data() + 3, 0, &channels, nullptr), 0);
    EXPECT_EQ(parse_port_data(nullptr, 20, &channels, nullptr), 0);
    EXPECT_EQ(channels.channel[0], 0);
    EXPECT_EQ(parse_port_data(frame.data() + 3, static_cast<std::uint8_t>(frame.size() - 3), &channels, nullptr), 1);
    for (int k = 0; k < 15; ++k) EXPECT_EQ(channels.channel[k], 100 + k);
}

TEST(ProcessState, FullReadsOfAContinuousStreamAreNeverRefused) {
    Bytes stream;
    for (std::uint16_t n = 0; n < 60; ++n) {
        const Bytes f = upload_frame(VANDRY_PAYLOAD_BOTH, ramp(47, static_cast<std::uint16_t>(n * 10)));
        stream.insert(stream.end(), f.begin(), f.end());
    }
    channel_values channels{};
    channel_banks banks{};
    int calls_with_news = 0;
    for (std::size_t at = 0; at < stream.size(); at += 255) {
        const std::size_t size = std::min<std::size_t>(255, stream.size() - at);
        calls_with_news += parse_port_data(stream.data() + at, static_cast<std::uint8_t>(size), &channels, &banks);
    }
    EXPECT_EQ(calls_with_news, 24);  // 6000 bytes in 24 reads, each completing a frame
    EXPECT_EQ(channels.channel[0], 590);
    EXPECT_EQ(banks.bank[1][15], 590 + 46);
}

TEST(NullPointers, EveryExportTurnsThemIntoNothing) {
    request_upload_port_data(nullptr, 0, 0);
    stop_upload_port_data(nullptr);
    EXPECT_EQ(parse_port_data(nullptr, 255, nullptr, nullptr), 0);
    const std::uint8_t report[35] = {0xFA};
    EXPECT_EQ(parse_hid_game_controller_device(nullptr, report, 19), 0);
    EXPECT_EQ(parse_hid_compatible_device(nullptr, report, 35), 0);
    convert_std_sbus_data(nullptr, nullptr);
    encode_sbus_data_v1(nullptr, nullptr);
    encode_sbus_data_v2(nullptr, nullptr);
    const sbus_channels c{};
    EXPECT_EQ(next_footer(c), 0x04);
}

}  // namespace
