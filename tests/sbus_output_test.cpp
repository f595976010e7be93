// SBUS scaling and frame packing, through the exports. The expected frames
// come from the bit stream itself, written and read one bit at a time, not
// from the byte formulas the encoders implement. Every frame and channel
// record has guard bytes behind it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "VandryInterface.h"
#include "guarded.h"
#include "library_state.h"

using namespace vandry_test;

namespace {

using Frame = std::array<std::uint8_t, 25>;
using Encoder = void (*)(sbus_frame*, const sbus_channels*);
constexpr std::uint8_t kFirstByte = 0xC3;  // the caller's byte 0
constexpr std::uint8_t kStale = 0x99;      // what the frame held before

sbus_channels channels_with(std::initializer_list<std::pair<int, std::uint16_t>> set, std::uint16_t rest = 0) {
    sbus_channels c;
    for (auto& v : c.channel) v = rest;
    for (auto [index, value] : set) c.channel[index] = value;
    return c;
}

sbus_channels random_channels(std::mt19937& rng) {
    sbus_channels c;
    for (auto& v : c.channel) v = static_cast<std::uint16_t>(rng() % 2048);
    return c;
}

// Encodes into a stale frame whose byte 0 is the caller's; checks that
// neither the frame nor the channels were written past their end.
Frame encode(const sbus_channels& channels, Encoder encoder = encode_sbus_data_v1) {
    Guarded<sbus_frame> frame(kStale);
    frame.value.bytes[0] = kFirstByte;
    Guarded<sbus_channels> input;
    input.value = channels;
    encoder(frame.get(), input.get());
    EXPECT_TRUE(guard_intact(frame));
    EXPECT_TRUE(guard_intact(input));
    Frame out;
    std::copy(std::begin(frame.value.bytes), std::end(frame.value.bytes), out.begin());
    return out;
}

// Stream bit b is bit b % 8 of frame byte 1 + b / 8; channel k holds stream
// bits 11k .. 11k + 10, lowest first.
std::uint8_t& stream_byte(Frame& f, int bit) { return f[static_cast<std::size_t>(1 + bit / 8)]; }

void write_channel(Frame& f, int k, unsigned value) {
    value = std::min(value, 2047u);  // the library saturates instead of spilling
    for (int i = 0; i < 11; ++i) {
        const int bit = 11 * k + i;
        if ((value >> i & 1) != 0) stream_byte(f, bit) = static_cast<std::uint8_t>(stream_byte(f, bit) | 1 << (bit % 8));
    }
}

std::uint16_t read_channel(Frame f, int k) {
    unsigned value = 0;
    for (int i = 0; i < 11; ++i) {
        const int bit = 11 * k + i;
        value |= static_cast<unsigned>(stream_byte(f, bit) >> (bit % 8) & 1) << i;
    }
    return static_cast<std::uint16_t>(value);
}

// The whole frame an encoder should leave: byte 0 untouched, flags 0.
Frame model_frame(const sbus_channels& c, std::uint8_t footer = 0x00) {
    Frame f{};
    f[0] = kFirstByte;
    for (int k = 0; k < 16; ++k) write_channel(f, k, c.channel[k]);
    f[24] = footer;
    return f;
}

Frame frame_of(std::initializer_list<std::pair<int, std::uint8_t>> bytes) {
    Frame f{};
    f[0] = kFirstByte;
    for (auto [at, value] : bytes) f[static_cast<std::size_t>(at)] = value;
    return f;
}

TEST(SbusEncoder, KnownFrames) {
    struct Case {
        std::string name;
        sbus_channels channels;
        Frame expected;
    };
    Frame all_1024 = frame_of({{1, 0x00}, {2, 0x04}, {3, 0x20}, {4, 0x00}, {5, 0x01}, {6, 0x08},
                               {7, 0x40}, {8, 0x00}, {9, 0x02}, {10, 0x10}, {11, 0x80}});
    for (int k = 12; k <= 22; ++k) all_1024[static_cast<std::size_t>(k)] = all_1024[static_cast<std::size_t>(k - 11)];
    const std::vector<Case> cases = {
        {"all zero", channels_with({}), frame_of({})},
        {"channel 1 full", channels_with({{0, 2047}}), frame_of({{1, 0xFF}, {2, 0x07}})},
        {"channel 2 = 1", channels_with({{1, 1}}), frame_of({{2, 0x08}})},
        {"channel 16 full", channels_with({{15, 2047}}), frame_of({{21, 0xE0}, {22, 0xFF}})},
        {"all 1024", channels_with({}, 1024), all_1024},
        {"channel 1 = 0x0FFF saturates, channel 2 stays 0", channels_with({{0, 0x0FFF}}),
         frame_of({{1, 0xFF}, {2, 0x07}})},
        {"channel 8 = 0xFFFF saturates, nothing reaches channel 9", channels_with({{7, 0xFFFF}}),
         frame_of({{10, 0xE0}, {11, 0xFF}})},
        {"all full", channels_with({}, 2047), [] {
             Frame f{};
             f[0] = kFirstByte;
             for (int k = 1; k <= 22; ++k) f[static_cast<std::size_t>(k)] = 0xFF;
             return f;
         }()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode(c.channels), c.expected) << c.name;
    }
}

TEST(SbusEncoder, EveryValueInEveryChannelGivesTheBitStream) {
    std::mt19937 rng(11);
    for (int k = 0; k < 16; ++k) {
        sbus_channels c = random_channels(rng);
        c.channel[k] = 0;
        const Frame others = model_frame(c);
        for (unsigned value = 0; value <= 0xFFFF; ++value) {
            c.channel[k] = static_cast<std::uint16_t>(value);
            Frame expected = others;
            write_channel(expected, k, value);
            ASSERT_EQ(encode(c), expected) << "channel " << k << " = " << value;
        }
    }
}

TEST(SbusEncoder, RoundTripsRandomChannels) {
    std::mt19937 rng(2024);
    for (int trial = 0; trial < 2000; ++trial) {
        const sbus_channels c = random_channels(rng);
        const Frame f = encode(c);
        for (int k = 0; k < 16; ++k) ASSERT_EQ(read_channel(f, k), c.channel[k]) << "trial " << trial << " channel " << k;
        ASSERT_EQ(f[0], kFirstByte);
        ASSERT_EQ(f[23], 0x00);
        ASSERT_EQ(f[24], 0x00);
    }
}

TEST(SbusEncoder, OutOfRangeValueSaturatesAndLeavesOtherChannelsAlone) {
    std::mt19937 rng(77);
    for (int k = 0; k < 16; ++k) {
        for (unsigned wild_value : {2048u, 0x0FFFu, 0x1000u, 0x7FFFu, 0x8000u, 0xFFFFu}) {
            sbus_channels c = random_channels(rng);
            c.channel[k] = static_cast<std::uint16_t>(wild_value);
            const Frame f = encode(c);
            for (int other = 0; other < 16; ++other) {
                const std::uint16_t want = other == k ? 2047 : c.channel[other];
                EXPECT_EQ(read_channel(f, other), want) << "channel " << k << " = " << wild_value << ", reading " << other;
            }
        }
    }
}

// ---- the rolling footer, from wherever the counter stands --------------------

TEST(SbusEncoder, SecondVariantPacksTheSameBytesWithTheNextFooter) {
    std::mt19937 rng(5);
    std::uint8_t footer = next_footer();
    ASSERT_EQ(footer & 0xCF, 0x04) << int(footer);
    for (int call = 0; call < 8; ++call) {
        const sbus_channels c = random_channels(rng);
        footer = footer_after(footer);
        EXPECT_EQ(encode(c, encode_sbus_data_v2), model_frame(c, footer)) << "call " << call;
        EXPECT_EQ(encode(c, encode_sbus_data_v1), model_frame(c)) << "call " << call;
    }
}

TEST(SbusEncoder, NullPointersWriteNothingAndDoNotAdvanceTheFooter) {
    const std::uint8_t before = next_footer();
    Guarded<sbus_frame> f(kStale);
    Guarded<sbus_channels> c(0x01);
    encode_sbus_data_v1(f.get(), nullptr);
    encode_sbus_data_v2(f.get(), nullptr);
    encode_sbus_data_v1(nullptr, c.get());
    encode_sbus_data_v2(nullptr, c.get());
    for (auto b : f.value.bytes) EXPECT_EQ(b, kStale);
    EXPECT_TRUE(guard_intact(f));
    EXPECT_EQ(next_footer(), footer_after(before));
}

// ---- scaling ----------------------------------------------------------------

using Values = std::array<std::uint16_t, 16>;

Values convert(const Values& values) {
    Guarded<std::uint16_t[16]> src;
    std::copy(values.begin(), values.end(), src.value);
    Guarded<sbus_channels> dst(0x55);
    convert_std_sbus_data(dst.get(), src.value);
    EXPECT_TRUE(guard_intact(src));
    EXPECT_TRUE(guard_intact(dst));
    Values out;
    std::copy(std::begin(dst.value.channel), std::end(dst.value.channel), out.begin());
    return out;
}

unsigned exact_scaled(unsigned x) { return std::min(x * 1706u / 1000u, 2047u); }

TEST(SbusScaling, KnownValues) {
    const Values src = {0, 1, 500, 600, 1000, 1199, 1200, 1201, 65535, 2, 3, 100, 1023, 2047, 2048, 4000};
    const Values want = {0, 1, 853, 1023, 1706, 2045, 2047, 2047, 2047, 3, 5, 170, 1745, 2047, 2047, 2047};
    EXPECT_EQ(convert(src), want);
}

TEST(SbusScaling, EveryInputMatchesExactIntegerArithmetic) {
    for (unsigned base = 0; base < 65536; base += 16) {
        Values src;
        for (unsigned k = 0; k < 16; ++k) src[k] = static_cast<std::uint16_t>(base + k);
        const Values got = convert(src);
        for (unsigned k = 0; k < 16; ++k) {
            ASSERT_EQ(got[k], exact_scaled(base + k)) << "input " << base + k;
        }
    }
}

TEST(SbusScaling, InPlaceOnTheSameArray) {
    Guarded<sbus_channels> c;
    for (int k = 0; k < 16; ++k) c.value.channel[k] = static_cast<std::uint16_t>(k * 100);
    convert_std_sbus_data(c.get(), c.value.channel);
    for (int k = 0; k < 16; ++k) EXPECT_EQ(c.value.channel[k], exact_scaled(static_cast<unsigned>(k) * 100u)) << k;
    convert_std_sbus_data(nullptr, c.value.channel);
    convert_std_sbus_data(c.get(), nullptr);
    for (int k = 0; k < 16; ++k) EXPECT_EQ(c.value.channel[k], exact_scaled(static_cast<unsigned>(k) * 100u)) << k;
    EXPECT_TRUE(guard_intact(c));
}

}  // namespace
