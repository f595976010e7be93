// Builds port frames and upload payloads for the tests, byte by byte, the
// way the device sends them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "VandryInterface.h"

namespace vandry_test {

using Bytes = std::vector<std::uint8_t>;

inline void append_le16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

// head, command, declared length, payload, tail.
inline Bytes port_frame(std::uint8_t command, const Bytes& payload, std::uint8_t tail = VANDRY_FRAME_TAIL,
                        std::size_t declared_length = SIZE_MAX) {
    if (declared_length == SIZE_MAX) declared_length = payload.size();
    Bytes out{VANDRY_FRAME_HEAD, command};
    append_le16(out, static_cast<std::uint16_t>(declared_length));
    for (std::uint8_t b : payload) out.push_back(b);
    out.push_back(tail);
    return out;
}

// An upload payload: the type byte, then the values little-endian.
inline Bytes upload_payload(std::uint8_t type, const std::vector<std::uint16_t>& values) {
    Bytes out{type};
    for (std::uint16_t v : values) append_le16(out, v);
    return out;
}

inline Bytes upload_frame(std::uint8_t type, const std::vector<std::uint16_t>& values) {
    return port_frame(VANDRY_CMD_UPLOAD_DATA, upload_payload(type, values));
}

inline std::vector<std::uint16_t> ramp(std::size_t count, std::uint16_t start, std::uint16_t step = 1) {
    std::vector<std::uint16_t> out;
    for (std::size_t k = 0; k < count; ++k) out.push_back(static_cast<std::uint16_t>(start + k * step));
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
        for (std::uint8_t b : part) out.push_back(b);
    return out;
}

}  // namespace vandry_test
