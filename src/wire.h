// The wire constants under the names the library's own code uses. Their
// values are defined once, in the public header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "VandryInterface.h"

namespace vandry {

inline constexpr std::uint8_t FRAME_HEAD = VANDRY_FRAME_HEAD;
inline constexpr std::uint8_t FRAME_TAIL = VANDRY_FRAME_TAIL;
inline constexpr std::size_t FRAME_OVERHEAD = VANDRY_FRAME_OVERHEAD;

inline constexpr std::uint8_t CMD_REQUEST_UPLOAD = VANDRY_CMD_REQUEST_UPLOAD;
inline constexpr std::uint8_t CMD_STOP_UPLOAD = VANDRY_CMD_STOP_UPLOAD;
inline constexpr std::uint8_t CMD_UPLOAD_DATA = VANDRY_CMD_UPLOAD_DATA;

inline constexpr std::uint8_t PAYLOAD_CHANNELS = VANDRY_PAYLOAD_CHANNELS;
inline constexpr std::uint8_t PAYLOAD_BANKS = VANDRY_PAYLOAD_BANKS;
inline constexpr std::uint8_t PAYLOAD_BOTH = VANDRY_PAYLOAD_BOTH;

inline constexpr std::size_t PORT_BUFFER_SIZE = VANDRY_PORT_BUFFER_SIZE;
inline constexpr std::size_t REQUEST_UPLOAD_FRAME_SIZE = VANDRY_REQUEST_UPLOAD_FRAME_SIZE;
inline constexpr std::size_t STOP_UPLOAD_FRAME_SIZE = VANDRY_STOP_UPLOAD_FRAME_SIZE;
inline constexpr std::size_t HID_GAME_CONTROLLER_REPORT_SIZE = VANDRY_HID_GAME_CONTROLLER_REPORT_SIZE;
inline constexpr std::size_t HID_COMPATIBLE_REPORT_SIZE = VANDRY_HID_COMPATIBLE_REPORT_SIZE;
inline constexpr std::size_t SBUS_CHANNEL_COUNT = VANDRY_SBUS_CHANNEL_COUNT;
inline constexpr unsigned SBUS_CHANNEL_MAX = VANDRY_SBUS_CHANNEL_MAX;
inline constexpr std::size_t CHANNEL_VALUE_COUNT = VANDRY_CHANNEL_VALUE_COUNT;
inline constexpr std::size_t CHANNEL_BANK_COUNT = VANDRY_CHANNEL_BANK_COUNT;
inline constexpr std::size_t CHANNEL_BANK_SIZE = VANDRY_CHANNEL_BANK_SIZE;

}  // namespace vandry
