// The command frames that start and stop the device's upload.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "VandryInterface.h"

namespace {

using Buffer = std::array<std::uint8_t, 9>;
constexpr std::uint8_t kFill = 0xCC;

Buffer filled() {
    Buffer b;
    b.fill(kFill);
    return b;
}

TEST(CommandFrames, RequestUploadWritesSevenBytesUnescaped) {
    struct Case {
        std::uint8_t param1, param2;
        Buffer expected;
    };
    const Case cases[] = {
        {0x00, 0xFF, {0xFA, 0xE5, 0x02, 0x00, 0x00, 0xFF, 0x5F, kFill, kFill}},
        {0xFA, 0x5F, {0xFA, 0xE5, 0x02, 0x00, 0xFA, 0x5F, 0x5F, kFill, kFill}},
        {0x5F, 0xFA, {0xFA, 0xE5, 0x02, 0x00, 0x5F, 0xFA, 0x5F, kFill, kFill}},
        {0x01, 0x00, {0xFA, 0xE5, 0x02, 0x00, 0x01, 0x00, 0x5F, kFill, kFill}},
    };
    for (const auto& c : cases) {
        Buffer b = filled();
        request_upload_port_data(b.data(), c.param1, c.param2);
        EXPECT_EQ(b, c.expected) << "param1 " << int(c.param1) << " param2 " << int(c.param2);
    }
}

TEST(CommandFrames, StopUploadWritesFiveBytes) {
    Buffer b = filled();
    stop_upload_port_data(b.data());
    EXPECT_EQ(b, (Buffer{0xFA, 0xE4, 0x00, 0x00, 0x5F, kFill, kFill, kFill, kFill}));
}

TEST(CommandFrames, DoNotTouchTheParserState) {
    const std::uint8_t head[] = {0xFA, 0xA5, 0x1F};
    EXPECT_EQ(parse_port_data(head, sizeof head, nullptr, nullptr), 0);
    Buffer b = filled();
    request_upload_port_data(b.data(), 1, 2);
    stop_upload_port_data(b.data());
    std::uint8_t rest[33] = {0x00, 0x00};  // length high byte, type 0, 15 values
    rest[32] = 0x5F;
    channel_values channels{};
    EXPECT_EQ(parse_port_data(rest, sizeof rest, &channels, nullptr), 1);
}

}  // namespace
