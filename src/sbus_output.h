// SBUS output: scaling into the 11-bit range and frame packing.
#pragma once

#include <atomic>
#include <cstdint>

#include "VandryInterface.h"
#include "wire.h"

namespace vandry {

inline constexpr std::uint8_t kSbusFlags = 0x00;
inline constexpr std::uint8_t kSbusPlainFooter = 0x00;

// src[k] * 1.706 truncated, capped at SBUS_CHANNEL_MAX. dst and src may be
// the same array: each value is read before its own slot is written.
void scale_to_sbus(std::uint16_t* dst, const std::uint16_t* src);

// Writes bytes 1..24 of the frame; byte 0 is the caller's.
void pack_sbus_frame(sbus_frame& frame, const sbus_channels& channels, std::uint8_t footer);

// The footer of the rolling variant: 0x04, 0x14, 0x24, 0x34, again and again.
// A relaxed load and store rather than a locked increment: the locked one
// costs three times the whole frame. Concurrent callers are still free of
// data races, but two of them may get the same footer.
class SbusFooterCounter {
public:
    constexpr SbusFooterCounter() = default;
    std::uint8_t next() {
        const std::uint8_t step = count_.load(std::memory_order_relaxed);
        count_.store(static_cast<std::uint8_t>(step + 1), std::memory_order_relaxed);
        return static_cast<std::uint8_t>((step & 3) << 4 | 0x04);
    }

private:
    std::atomic<std::uint8_t> count_{0};
};

}  // namespace vandry
