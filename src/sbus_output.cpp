#include "sbus_output.h"

#include <cstddef>

namespace vandry {
namespace {

constexpr double kSbusScale = 1.706;
constexpr unsigned kSbusMax = SBUS_CHANNEL_MAX;

constexpr unsigned saturate(std::uint16_t value) {
    return value > kSbusMax ? kSbusMax : value;
}

constexpr std::uint8_t low8(unsigned bits) { return static_cast<std::uint8_t>(bits & 0xFF); }

// Eight 11-bit channels fill exactly 11 bytes, lowest bit first. Each value
// is saturated first, so no channel's bits reach its neighbour.
void pack_eight(std::uint8_t* out, const std::uint16_t* in) {
    const unsigned c0 = saturate(in[0]), c1 = saturate(in[1]), c2 = saturate(in[2]),
                   c3 = saturate(in[3]), c4 = saturate(in[4]), c5 = saturate(in[5]),
                   c6 = saturate(in[6]), c7 = saturate(in[7]);
    out[0] = low8(c0);
    out[1] = low8(c0 >> 8 | c1 << 3);
    out[2] = low8(c1 >> 5 | c2 << 6);
    out[3] = low8(c2 >> 2);
    out[4] = low8(c2 >> 10 | c3 << 1);
    out[5] = low8(c3 >> 7 | c4 << 4);
    out[6] = low8(c4 >> 4 | c5 << 7);
    out[7] = low8(c5 >> 1);
    out[8] = low8(c5 >> 9 | c6 << 2);
    out[9] = low8(c6 >> 6 | c7 << 5);
    out[10] = low8(c7 >> 3);
}

}  // namespace

void scale_to_sbus(std::uint16_t* dst, const std::uint16_t* src) {
    for (std::size_t k = 0; k < SBUS_CHANNEL_COUNT; ++k) {
        const auto scaled = static_cast<unsigned>(src[k] * kSbusScale);
        dst[k] = static_cast<std::uint16_t>(scaled > kSbusMax ? kSbusMax : scaled);
    }
}

void pack_sbus_frame(sbus_frame& frame, const sbus_channels& channels, std::uint8_t footer) {
    pack_eight(&frame.bytes[1], &channels.channel[0]);
    pack_eight(&frame.bytes[12], &channels.channel[8]);
    frame.bytes[23] = kSbusFlags;
    frame.bytes[24] = footer;
}

}  // namespace vandry
