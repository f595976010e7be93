// SBUS scaling and frame packing, through the exports.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "VandryInterface.h"

namespace {

using Frame = std::array<std::uint8_t, 25>;
constexpr std::uint8_t kFirstByte = 0xC3;  // the caller's byte 0

sbus_channels channels_with(std::initializer_list<std::pair<int, std::uint16_t>> set, std::uint16_t rest = 0) {
    sbus_channels c;
    for (auto& v : c.channel) v = rest;
    for (auto [index, value] : set) c.channel[index] = value;
    return c;
}

Frame encode_v1(const sbus_channels& c) {
    sbus_frame f;
    for (auto& b : f.bytes) b = 0x99;
    f.bytes[0] = kFirstByte;
    encode_sbus_data_v1(&f, &c);
    Frame out;
    std::copy(std::begin(f.bytes), std::end(f.bytes), out.begin());
    return out;
}

// Reads channel k back from stream bits 11k..11k+10, bit b being bit b % 8
// of byte 1 + b / 8.
std::uint16_t read_channel(const Frame& f, int k) {
    unsigned value = 0;
    for (int i = 0; i < 11; ++i) {
        const int b = 11 * k + i;
        value |= static_cast<unsigned>((f[static_cast<std::size_t>(1 + b / 8)] >> (b % 8)) & 1) << i;
    }
    return static_cast<std::uint16_t>(value);
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
        EXPECT_EQ(encode_v1(c.channels), c.expected) << c.name;
    }
}

TEST(SbusEncoder, RoundTripsRandomChannels) {
    std::mt19937 rng(2024);
    for (int trial = 0; trial < 2000; ++trial) {
        sbus_channels c;
        for (auto& v : c.channel) v = static_cast<std::uint16_t>(rng() % 2048);
        const Frame f = encode_v1(c);
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
            const auto wild = static_cast<std::uint16_t>(wild_value);
            sbus_channels c;
            for (auto& v : c.channel) v = static_cast<std::uint16_t>(rng() % 2048);
            c.channel[k] = wild;
            const Frame f = encode_v1(c);
            for (int other = 0; other < 16; ++other) {
                const std::uint16_t want = other == k ? 2047 : c.channel[other];
                EXPECT_EQ(read_channel(f, other), want) << "channel " << k << " = " << wild << ", reading " << other;
            }
        }
    }
}

TEST(SbusEncoder, BothVariantsPackTheSameBytesAndKeepByteZero) {
    const sbus_channels c = channels_with({{0, 5}, {7, 2000}, {8, 1}, {15, 1234}}, 300);
    sbus_frame f1, f2;
    for (auto& b : f1.bytes) b = 0x99;
    for (auto& b : f2.bytes) b = 0x99;
    f1.bytes[0] = 0x0F;
    f2.bytes[0] = 0x42;
    encode_sbus_data_v1(&f1, &c);
    encode_sbus_data_v2(&f2, &c);
    EXPECT_EQ(f1.bytes[0], 0x0F);
    EXPECT_EQ(f2.bytes[0], 0x42);
    for (int k = 1; k <= 23; ++k) EXPECT_EQ(f1.bytes[k], f2.bytes[k]) << "byte " << k;
    EXPECT_EQ(f1.bytes[24], 0x00);
    EXPECT_EQ(f2.bytes[24] & 0x0F, 0x04);
}

TEST(SbusEncoder, NullPointersWriteNothing) {
    const sbus_channels c = channels_with({}, 1000);
    sbus_frame f;
    for (auto& b : f.bytes) b = 0x99;
    encode_sbus_data_v1(&f, nullptr);
    encode_sbus_data_v2(&f, nullptr);
    encode_sbus_data_v1(nullptr, &c);
    encode_sbus_data_v2(nullptr, &c);
    for (auto b : f.bytes) EXPECT_EQ(b, 0x99);
    // A refused call does not advance the footer.
    encode_sbus_data_v2(&f, &c);
    EXPECT_EQ(f.bytes[24], 0x04);
}

// ---- scaling ----------------------------------------------------------------

std::vector<std::uint16_t> convert(const std::vector<std::uint16_t>& src) {
    sbus_channels dst;
    for (auto& v : dst.channel) v = 0x5555;
    convert_std_sbus_data(&dst, src.data());
    return {std::begin(dst.channel), std::end(dst.channel)};
}

TEST(SbusScaling, KnownValues) {
    const std::vector<std::uint16_t> src = {0, 1, 500, 600, 1000, 1199, 1200, 1201, 65535, 2, 3, 100, 1023, 2047, 2048, 4000};
    const std::vector<std::uint16_t> want = {0, 1, 853, 1023, 1706, 2045, 2047, 2047, 2047, 3, 5, 170, 1745, 2047, 2047, 2047};
    EXPECT_EQ(convert(src), want);
}

TEST(SbusScaling, EveryInputMatchesExactIntegerArithmetic) {
    for (unsigned base = 0; base < 65536; base += 16) {
        std::vector<std::uint16_t> src(16);
        for (unsigned k = 0; k < 16; ++k) src[k] = static_cast<std::uint16_t>(base + k);
        const auto got = convert(src);
        for (unsigned k = 0; k < 16; ++k) {
            const unsigned exact = (base + k) * 1706u / 1000u;
            ASSERT_EQ(got[k], exact > 2047 ? 2047 : exact) << "input " << base + k;
        }
    }
}

TEST(SbusScaling, InPlaceOnTheSameArray) {
    sbus_channels c;
    for (int k = 0; k < 16; ++k) c.channel[k] = static_cast<std::uint16_t>(k * 100);
    convert_std_sbus_data(&c, c.channel);
    for (int k = 0; k < 16; ++k) {
        const unsigned exact = static_cast<unsigned>(k) * 100u * 1706u / 1000u;
        EXPECT_EQ(c.channel[k], exact > 2047 ? 2047 : exact) << k;
    }
    convert_std_sbus_data(nullptr, c.channel);
    convert_std_sbus_data(&c, nullptr);
}

}  // namespace
