// Decoders of the device's two HID input reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "VandryInterface.h"
#include "wire.h"

namespace vandry {

inline constexpr std::size_t kGameControllerReportSize = HID_GAME_CONTROLLER_REPORT_SIZE;
inline constexpr std::size_t kCompatibleReportSize = HID_COMPATIBLE_REPORT_SIZE;

// Both return false, and write nothing, for a report of the wrong length
// (and, for the compatible report, a first byte that is not FRAME_HEAD).
bool decode_game_controller_report(std::span<const std::uint8_t> report, game_controller_state& state);
bool decode_compatible_report(std::span<const std::uint8_t> report, channel_values& channels);

}  // namespace vandry
