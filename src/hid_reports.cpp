#include "hid_reports.h"

namespace vandry {
namespace {

constexpr std::uint16_t word(std::uint8_t low, std::uint8_t high) {
    return static_cast<std::uint16_t>(low | high << 8);
}

constexpr std::uint16_t low_nibble_word(std::uint8_t low, std::uint8_t shared) {
    return static_cast<std::uint16_t>(low | (shared & 0x0F) << 8);
}

// The device puts the shared byte's high nibble in bits 0..3 and the next
// byte in bits 8..15, leaving bits 4..7 empty. Hosts decode this layout.
constexpr std::uint16_t high_nibble_word(std::uint8_t shared, std::uint8_t high) {
    return static_cast<std::uint16_t>(shared >> 4 | high << 8);
}

// The compatible report is a port frame: head, command, two length bytes,
// then the values.
constexpr std::size_t kCompatibleValuesOffset = 4;

}  // namespace

bool decode_game_controller_report(std::span<const std::uint8_t> report, game_controller_state& state) {
    if (report.size() != kGameControllerReportSize) {
        return false;
    }
    const auto r = report.first<kGameControllerReportSize>();
    state.value_0 = word(r[0], r[1]);
    state.value_1 = word(r[2], r[3]);
    state.value_2 = word(r[4], r[5]);
    state.value_3 = low_nibble_word(r[6], r[7]);
    state.value_4 = high_nibble_word(r[7], r[8]);
    state.value_5 = low_nibble_word(r[9], r[10]);
    state.value_6 = high_nibble_word(r[10], r[11]);
    state.value_7 = low_nibble_word(r[12], r[13]);
    state.value_8 = static_cast<std::uint16_t>(r[13] >> 4);
    state.value_9 = word(r[14], r[15]);
    state.value_10 = r[16];
    return true;
}

bool decode_compatible_report(std::span<const std::uint8_t> report, channel_values& channels) {
    if (report.size() != kCompatibleReportSize || report[0] != FRAME_HEAD) {
        return false;
    }
    const std::uint8_t* values = report.data() + kCompatibleValuesOffset;
    for (std::size_t k = 0; k < CHANNEL_VALUE_COUNT; ++k) {
        channels.channel[k] = word(values[2 * k], values[2 * k + 1]);
    }
    return true;
}

}  // namespace vandry
