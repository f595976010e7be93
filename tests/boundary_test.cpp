// The exports as a host sees them: the process-wide state of the port
// parser and of the SBUS footer, and null pointers everywhere. Each test
// starts from wherever that state stands, so the binary passes run directly
// as well as one test per process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "VandryInterface.h"
#include "frame_builder.h"
#include "guarded.h"
#include "library_state.h"

using namespace vandry_test;

namespace {

TEST(ProcessState, FooterCyclesAndPlainEncoderDoesNotDisturbIt) {
    const Guarded<sbus_channels> c;
    std::uint8_t footer = next_footer();
    for (int call = 0; call < 5; ++call) {
        Guarded<sbus_frame> plain;
        encode_sbus_data_v1(plain.get(), c.get());
        EXPECT_EQ(plain.value.bytes[24], 0x00);
        EXPECT_TRUE(guard_intact(plain));
        footer = footer_after(footer);
        EXPECT_EQ(next_footer(), footer) << "call " << call;
    }
}

TEST(ProcessState, FooterCycleHoldsAcrossTheCounterWrap) {
    std::uint8_t footer = next_footer();
    for (unsigned call = 0; call < 1030; ++call) {
        footer = footer_after(footer);
        ASSERT_EQ(next_footer(), footer) << "call " << call;
    }
}

TEST(ProcessState, ParserKeepsAnUnfinishedFrameAcrossCalls) {
    drain_parser();
    constexpr std::size_t kFrameSize = 36;
    const Bytes bytes = upload_frame(VANDRY_PAYLOAD_CHANNELS, ramp(15, 100));
    ASSERT_EQ(bytes.size(), kFrameSize);
    Guarded<std::uint8_t[kFrameSize]> frame;
    std::copy(bytes.begin(), bytes.end(), frame.value);
    Guarded<channel_values> channels;
    EXPECT_EQ(parse_port_data(frame.value, 3, channels.get(), nullptr), 0);
    // An empty chunk or a null pointer changes nothing, even with bytes pending.
    EXPECT_EQ(parse_port_data(frame.value + 3, 0, channels.get(), nullptr), 0);
    EXPECT_EQ(parse_port_data(nullptr, 20, channels.get(), nullptr), 0);
    EXPECT_EQ(channels.value.channel[0], 0);
    EXPECT_EQ(parse_port_data(frame.value + 3, kFrameSize - 3, channels.get(), nullptr), 1);
    for (int k = 0; k < 15; ++k) EXPECT_EQ(channels.value.channel[k], 100 + k);
    EXPECT_TRUE(guard_intact(channels));
    EXPECT_TRUE(guard_intact(frame));
}

TEST(ProcessState, FullReadsOfAContinuousStreamAreNeverRefused) {
    drain_parser();
    Bytes stream;
    for (std::uint16_t n = 0; n < 60; ++n) {
        const Bytes f = upload_frame(VANDRY_PAYLOAD_BOTH, ramp(47, static_cast<std::uint16_t>(n * 10)));
        stream.insert(stream.end(), f.begin(), f.end());
    }
    Guarded<channel_values> channels;
    Guarded<channel_banks> banks;
    Guarded<std::uint8_t[255]> read;
    int calls_with_news = 0;
    for (std::size_t at = 0; at < stream.size(); at += 255) {
        const std::size_t size = std::min<std::size_t>(255, stream.size() - at);
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at), size, read.value);
        calls_with_news += parse_port_data(read.value, static_cast<std::uint8_t>(size), channels.get(), banks.get());
    }
    EXPECT_EQ(calls_with_news, 24);  // 6000 bytes in 24 reads, each completing a frame
    EXPECT_EQ(channels.value.channel[0], 590);
    EXPECT_EQ(banks.value.bank[1][15], 590 + 46);
    EXPECT_TRUE(guard_intact(channels));
    EXPECT_TRUE(guard_intact(banks));
    EXPECT_TRUE(guard_intact(read));
}

TEST(NullPointers, EveryExportTurnsThemIntoNothing) {
    const std::uint8_t footer = next_footer();
    request_upload_port_data(nullptr, 0, 0);
    stop_upload_port_data(nullptr);
    EXPECT_EQ(parse_port_data(nullptr, 255, nullptr, nullptr), 0);
    Guarded<std::uint8_t[35]> report;
    report.value[0] = 0xFA;
    EXPECT_EQ(parse_hid_game_controller_device(nullptr, report.value, 19), 0);
    EXPECT_EQ(parse_hid_compatible_device(nullptr, report.value, 35), 0);
    convert_std_sbus_data(nullptr, nullptr);
    encode_sbus_data_v1(nullptr, nullptr);
    encode_sbus_data_v2(nullptr, nullptr);
    EXPECT_EQ(next_footer(), footer_after(footer));
    EXPECT_TRUE(guard_intact(report));
}

}  // namespace
