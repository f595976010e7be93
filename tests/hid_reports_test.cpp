// The two HID report decoders. Expected records are worked out by hand from
// the device's report layout. Every record and report has guard bytes
// behind it: a decoder that writes or reads past the end fails here.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "VandryInterface.h"
#include "guarded.h"

using namespace vandry_test;

namespace {

using Report = std::vector<std::uint8_t>;
using Fields = std::array<std::uint16_t, 11>;
using Channels = std::array<std::uint16_t, 15>;
constexpr std::uint8_t kSentinelByte = 0xEE;
constexpr std::uint16_t kSentinel = 0xEEEE;

template <typename Values>
Values untouched() {
    Values v;
    v.fill(kSentinel);
    return v;
}

constexpr std::uint16_t game_controller_state::*kFields[] = {
    &game_controller_state::value_0, &game_controller_state::value_1, &game_controller_state::value_2,
    &game_controller_state::value_3, &game_controller_state::value_4, &game_controller_state::value_5,
    &game_controller_state::value_6, &game_controller_state::value_7, &game_controller_state::value_8,
    &game_controller_state::value_9, &game_controller_state::value_10};

Fields values_of(const game_controller_state& s) {
    Fields out;
    std::transform(std::begin(kFields), std::end(kFields), out.begin(), [&](auto field) { return s.*field; });
    return out;
}

Channels values_of(const channel_values& c) {
    Channels out;
    std::copy(std::begin(c.channel), std::end(c.channel), out.begin());
    return out;
}

// The report in a buffer of its own size, guard bytes right behind it.
template <std::size_t N>
Guarded<std::uint8_t[N]> guarded(const Report& r) {
    Guarded<std::uint8_t[N]> out;
    std::copy(r.begin(), r.end(), out.value);
    return out;
}

template <typename Values>
struct Decoded {
    std::uint8_t result;
    Values values;
};

// Decodes into a sentinel-filled record and checks the guard behind it.
template <typename Record>
auto decode(std::uint8_t (*parse)(Record*, const std::uint8_t*, std::uint8_t), const std::uint8_t* report,
            std::uint8_t length) {
    Guarded<Record> record(kSentinelByte);
    const std::uint8_t result = parse(record.get(), report, length);
    EXPECT_TRUE(guard_intact(record));
    return Decoded<decltype(values_of(record.value))>{result, values_of(record.value)};
}

auto decode_game(const std::uint8_t* report, std::uint8_t length) {
    return decode(parse_hid_game_controller_device, report, length);
}
auto decode_compatible(const std::uint8_t* report, std::uint8_t length) {
    return decode(parse_hid_compatible_device, report, length);
}

Report game_report(std::initializer_list<std::pair<int, std::uint8_t>> bytes, std::uint8_t fill = 0) {
    Report r(19, fill);
    for (auto [at, value] : bytes) r[static_cast<std::size_t>(at)] = value;
    return r;
}

Report counting(std::size_t size, std::uint8_t first) {
    Report r(size);
    for (std::size_t k = 0; k < size; ++k) r[k] = static_cast<std::uint8_t>(first + k);
    return r;
}

struct GameCase {
    std::string name;
    Report report;
    Fields expected;
};

TEST(GameControllerReport, DecodesEveryField) {
    Report alternating(19);
    for (std::size_t k = 0; k < 19; ++k) alternating[k] = (k % 2 == 0) ? 0xAA : 0x55;
    Report alternating_inverse(19);
    for (std::size_t k = 0; k < 19; ++k) alternating_inverse[k] = (k % 2 == 0) ? 0x55 : 0xAA;

    const std::vector<GameCase> cases = {
        {"all bits set", Report(19, 0xFF),
         {0xFFFF, 0xFFFF, 0xFFFF, 0x0FFF, 0xFF0F, 0x0FFF, 0xFF0F, 0x0FFF, 0x000F, 0xFFFF, 0x00FF}},
        {"all zero", Report(19, 0x00), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"alternating AA 55", alternating,
         {0x55AA, 0x55AA, 0x55AA, 0x05AA, 0xAA05, 0x0A55, 0x550A, 0x05AA, 0x0005, 0x55AA, 0x00AA}},
        {"alternating 55 AA", alternating_inverse,
         {0xAA55, 0xAA55, 0xAA55, 0x0A55, 0x550A, 0x05AA, 0xAA05, 0x0A55, 0x000A, 0xAA55, 0x0055}},
        {"bytes 1..19", counting(19, 1),
         {0x0201, 0x0403, 0x0605, 0x0807, 0x0900, 0x0B0A, 0x0C00, 0x0E0D, 0x0000, 0x100F, 0x0011}},
        {"r6 r7 r8 all set", game_report({{6, 0xFF}, {7, 0xFF}, {8, 0xFF}}),
         {0, 0, 0, 0x0FFF, 0xFF0F, 0, 0, 0, 0, 0, 0}},
        {"r7 high nibble only goes to value_4", game_report({{7, 0xF0}}), {0, 0, 0, 0, 0x000F, 0, 0, 0, 0, 0, 0}},
        {"r7 low nibble only goes to value_3", game_report({{7, 0x0F}}), {0, 0, 0, 0x0F00, 0, 0, 0, 0, 0, 0, 0}},
        {"r10 splits between value_5 and value_6", game_report({{10, 0x9C}}),
         {0, 0, 0, 0, 0, 0x0C00, 0x0009, 0, 0, 0, 0}},
        {"r13 = 0xAB splits between value_7 and value_8", game_report({{12, 0x12}, {13, 0xAB}}),
         {0, 0, 0, 0, 0, 0, 0, 0x0B12, 0x000A, 0, 0}},
        {"r8 and r11 sit at bits 8..15", game_report({{8, 0x81}, {11, 0x18}}),
         {0, 0, 0, 0, 0x8100, 0, 0x1800, 0, 0, 0, 0}},
        {"r17 and r18 are not read", game_report({{16, 0x7E}, {17, 0xFF}, {18, 0xFF}}),
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x007E}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto report = guarded<19>(c.report);
        const auto got = decode_game(report.value, 19);
        EXPECT_EQ(got.result, 1);
        EXPECT_EQ(got.values, c.expected);
        EXPECT_TRUE(guard_intact(report));
    }
}

TEST(GameControllerReport, RejectsWrongLengthsAndNullsWithoutWriting) {
    const Guarded<std::uint8_t[255]> big(0x11);
    for (int length_value : {0, 1, 18, 20, 34, 35, 36, 255}) {
        const auto length = static_cast<std::uint8_t>(length_value);
        const auto got = decode_game(big.value, length);
        EXPECT_EQ(got.result, 0) << int(length);
        EXPECT_EQ(got.values, untouched<Fields>()) << int(length);
    }
    const auto null_report = decode_game(nullptr, 19);
    EXPECT_EQ(null_report.result, 0);
    EXPECT_EQ(null_report.values, untouched<Fields>());
    EXPECT_EQ(parse_hid_game_controller_device(nullptr, big.value, 19), 0);
    EXPECT_TRUE(guard_intact(big));
}

// ---- compatible-device report ----------------------------------------------

Report compatible_report(std::uint8_t head, std::uint8_t filler) {
    Report r(35, filler);
    r[0] = head;
    for (std::size_t k = 4; k < 34; ++k) r[k] = static_cast<std::uint8_t>(k);  // value k: (5+2k)<<8 | 4+2k
    return r;
}

TEST(CompatibleReport, DecodesFifteenValuesWhateverTheFrameBytesHold) {
    const Channels expected = {0x0504, 0x0706, 0x0908, 0x0B0A, 0x0D0C, 0x0F0E, 0x1110, 0x1312,
                               0x1514, 0x1716, 0x1918, 0x1B1A, 0x1D1C, 0x1F1E, 0x2120};
    for (int filler_value : {0x00, 0x5F, 0xA5, 0xFF}) {
        const auto filler = static_cast<std::uint8_t>(filler_value);
        const auto report = guarded<35>(compatible_report(0xFA, filler));
        const auto got = decode_compatible(report.value, 35);
        EXPECT_EQ(got.result, 1) << int(filler);
        EXPECT_EQ(got.values, expected) << int(filler);
        EXPECT_TRUE(guard_intact(report));
    }
    Report r = compatible_report(0xFA, 0);
    r[4] = 0x34;
    r[5] = 0x12;
    r[32] = 0xFF;
    r[33] = 0xFF;
    const auto got = decode_compatible(guarded<35>(r).value, 35);
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.values[0], 0x1234);
    EXPECT_EQ(got.values[14], 0xFFFF);
}

TEST(CompatibleReport, RejectsWrongHeadLengthsAndNullsWithoutWriting) {
    Guarded<std::uint8_t[255]> big(0xFA);
    struct Case {
        std::uint8_t head;
        std::uint8_t length;
    };
    for (const Case& c : {Case{0xFB, 35}, Case{0x00, 35}, Case{0x5F, 35}, Case{0xFA, 0}, Case{0xFA, 18},
                          Case{0xFA, 19}, Case{0xFA, 34}, Case{0xFA, 36}, Case{0xFA, 255}}) {
        big.value[0] = c.head;
        const auto got = decode_compatible(big.value, c.length);
        EXPECT_EQ(got.result, 0) << int(c.head) << " " << int(c.length);
        EXPECT_EQ(got.values, untouched<Channels>());
    }
    const auto null_report = decode_compatible(nullptr, 35);
    EXPECT_EQ(null_report.result, 0);
    EXPECT_EQ(null_report.values, untouched<Channels>());
    big.value[0] = 0xFA;
    EXPECT_EQ(parse_hid_compatible_device(nullptr, big.value, 35), 0);
    EXPECT_TRUE(guard_intact(big));
}

}  // namespace
