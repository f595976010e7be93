#include "sbus_output.h"

// SSE2 is part of every x86-64 processor, so both deliverables use it
// without a runtime check.
#include <emmintrin.h>

namespace vandry {
namespace {

static_assert(SBUS_CHANNEL_COUNT == 16 && sizeof(sbus_channels) == 32,
              "the channels are two 16-byte vectors of eight");

__m128i load_eight(const std::uint16_t* values) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(values));
}

void store_eight(std::uint16_t* values, __m128i eight) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(values), eight);
}

// min(value, SBUS_CHANNEL_MAX) in each unsigned 16-bit lane; SSE2 has no
// unsigned 16-bit minimum, but a saturating subtraction gives the excess.
__m128i saturate(__m128i values) {
    const __m128i excess = _mm_subs_epu16(values, _mm_set1_epi16(SBUS_CHANNEL_MAX));
    return _mm_sub_epi16(values, excess);
}

// Eight 11-bit channels in 16-bit lanes become two 44-bit runs, channels
// 0..3 and 4..7 lowest bit first, one in each 64-bit lane.
__m128i join_channels(__m128i eight) {
    // c0 + c1 * 2^11 per pair: 22-bit runs in 32-bit lanes.
    const __m128i pairs = _mm_madd_epi16(eight, _mm_set1_epi32(1 | 1 << 27));
    // r0 + r1 * 2^22 = (r0 + r1 * 2^32) - r1 * (2^32 - 2^22) per 64-bit lane.
    const __m128i upper_runs = _mm_srli_epi64(pairs, 32);
    return _mm_sub_epi64(pairs, _mm_mul_epu32(upper_runs, _mm_set1_epi32(static_cast<int>(0xFFC00000u))));
}

}  // namespace

// floor(x * 1.706) for every 16-bit x, with the cap, in single precision:
// the constant lies a hair above 1.706, so no product falls below the exact
// one's integer part, and up to x = 1200 (all above give 2047) the float
// product stays below the next integer, since an exact product's fraction is
// a multiple of 0.002. The exhaustive test over all inputs holds it to that.
void scale_to_sbus(std::uint16_t* dst, const std::uint16_t* src) {
    const __m128 factor = _mm_set1_ps(0x1.b4bc6cp+0f);
    const __m128i zero = _mm_setzero_si128();
    const __m128i cap = _mm_set1_epi16(SBUS_CHANNEL_MAX);
    const auto scale_four = [&](__m128i four) {
        return _mm_cvttps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(four), factor));
    };
    const auto scale_eight = [&](__m128i eight) {
        const __m128i low = scale_four(_mm_unpacklo_epi16(eight, zero));
        const __m128i high = scale_four(_mm_unpackhi_epi16(eight, zero));
        // Products up to 111,802 saturate to 32767 first, then come down to the cap.
        return _mm_min_epi16(_mm_packs_epi32(low, high), cap);
    };
    const __m128i first = load_eight(src);
    const __m128i second = load_eight(src + 8);
    store_eight(dst, scale_eight(first));
    store_eight(dst + 8, scale_eight(second));
}

void pack_sbus_frame(sbus_frame& frame, const sbus_channels& channels, std::uint8_t footer) {
    const __m128i first = join_channels(saturate(load_eight(channels.channel)));
    const __m128i second = join_channels(saturate(load_eight(channels.channel + 8)));
    // Runs 0 and 2 start the two 88-bit halves; runs 1 and 3 follow at bit 44.
    const __m128i starts = _mm_unpacklo_epi64(first, second);
    const __m128i follows = _mm_unpackhi_epi64(first, second);
    const __m128i low64 = _mm_or_si128(starts, _mm_slli_epi64(follows, 44));
    const __m128i high24 = _mm_srli_epi64(follows, 20);
    // Two overlapping 16-byte stores: bytes 1..16, of which only 1..8 stay,
    // then bytes 9..24: the high bits of the first half, the second half,
    // the flags byte (the zero byte behind the last run) and the footer.
    static_assert(kSbusFlags == 0, "the flags byte is the zero byte behind the last run");
    const __m128i second_half = _mm_unpackhi_epi64(low64, high24);
    __m128i tail = _mm_or_si128(_mm_move_epi64(high24), _mm_slli_si128(second_half, 3));
    tail = _mm_insert_epi16(tail, footer << 8, 7);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(frame.bytes + 1), low64);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(frame.bytes + 9), tail);
}

}  // namespace vandry
