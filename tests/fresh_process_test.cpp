// What holds in a process that has just loaded the library. This binary has
// one test only, so that run directly or one test per process it always
// starts from the state at load; add nothing else here.
#include <gtest/gtest.h>

#include <cstdint>

#include "VandryInterface.h"
#include "guarded.h"
#include "library_state.h"

using namespace vandry_test;

namespace {

// Every other export, with a frame left half-read, and calls of the rolling
// encoder that it refuses.
void use_everything_but_the_rolling_encoder() {
    Guarded<std::uint8_t[7]> command;
    request_upload_port_data(command.value, 1, 2);
    stop_upload_port_data(command.value);
    Guarded<std::uint8_t[35]> report;
    report.value[0] = 0xFA;
    report.value[1] = 0xA5;
    report.value[2] = 0x1F;
    Guarded<channel_values> channels;
    Guarded<channel_banks> banks;
    parse_port_data(report.value, 35, channels.get(), banks.get());
    Guarded<game_controller_state> state;
    parse_hid_game_controller_device(state.get(), report.value, 19);
    parse_hid_compatible_device(channels.get(), report.value, 35);
    Guarded<sbus_channels> sbus;
    convert_std_sbus_data(sbus.get(), sbus.value.channel);
    Guarded<sbus_frame> frame;
    encode_sbus_data_v1(frame.get(), sbus.get());
    encode_sbus_data_v2(frame.get(), nullptr);
    encode_sbus_data_v2(nullptr, sbus.get());
    EXPECT_TRUE(guard_intact(command));
    EXPECT_TRUE(guard_intact(report));
    EXPECT_TRUE(guard_intact(channels));
    EXPECT_TRUE(guard_intact(banks));
    EXPECT_TRUE(guard_intact(state));
    EXPECT_TRUE(guard_intact(sbus));
    EXPECT_TRUE(guard_intact(frame));
}

TEST(FreshProcess, FirstFooterIs04WhateverRanBeforeThenTheCycleFollows) {
    use_everything_but_the_rolling_encoder();
    EXPECT_EQ(next_footer(), 0x04);
    const Guarded<sbus_channels> channels;
    for (int want : {0x14, 0x24, 0x34, 0x04}) {
        Guarded<sbus_frame> plain;
        encode_sbus_data_v1(plain.get(), channels.get());
        EXPECT_EQ(next_footer(), want);
    }
}

}  // namespace
