// The library's two pieces of process-wide state, as tests of the exports
// meet them. Run directly, a test binary runs all its tests in one process,
// so each test starts from wherever the state stands, never from the state
// at load (fresh_process_test.cpp has that to itself).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "VandryInterface.h"
#include "guarded.h"

namespace vandry_test {

// Decides whatever the parser holds: no pending frame outlasts 500 more
// bytes, and zeros hold no head and no tail to start or end another.
inline void drain_parser() {
    const std::uint8_t zeros[255] = {};
    for (int k = 0; k < 2; ++k) parse_port_data(zeros, sizeof zeros, nullptr, nullptr);
}

// The footer of one encode_sbus_data_v2 call.
inline std::uint8_t next_footer() {
    Guarded<sbus_frame> frame;
    const Guarded<sbus_channels> channels;
    encode_sbus_data_v2(frame.get(), channels.get());
    EXPECT_TRUE(guard_intact(frame));
    return frame.value.bytes[24];
}

// 0x04, 0x14, 0x24, 0x34, then 0x04 again.
inline std::uint8_t footer_after(std::uint8_t footer) {
    return static_cast<std::uint8_t>(((footer + 0x10) & 0x30) | 0x04);
}

}  // namespace vandry_test
