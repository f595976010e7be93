// Byte copy and search without libc: the shared object links against
// nothing, so these replace memcpy, memmove and memchr. On x86-64 they use
// SSE2, which every such processor has and which needs no library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vandry {

namespace byte_ops_detail {

// One unaligned load or store of a whole word; the builtin with a constant
// size becomes a single move, never a call.
template <typename Word>
Word load(const std::uint8_t* at) {
    Word word;
    __builtin_memcpy(&word, at, sizeof word);
    return word;
}
template <typename Word>
void store(std::uint8_t* at, Word word) {
    __builtin_memcpy(at, &word, sizeof word);
}

// Copies n bytes, sizeof(Word) <= n <= 2 * sizeof(Word), as two words that
// may overlap, both loaded before either is stored.
template <typename Word>
void copy_two_words(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) {
    const Word first = load<Word>(src);
    const Word last = load<Word>(src + n - sizeof(Word));
    store(dst, first);
    store(dst + n - sizeof(Word), last);
}

}  // namespace byte_ops_detail

// Four bytes as one word, in the host's byte order.
inline std::uint32_t load_u32(const std::uint8_t* at) { return byte_ops_detail::load<std::uint32_t>(at); }

// Copies n bytes. dst may lie below src inside the same buffer (moving
// pending bytes to the front): the last block is loaded before anything is
// stored, and each store lands below every byte that a later load reads.
inline void copy_bytes(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) {
    if (n <= 1) {  // a port read one byte at a time: the commonest call of all
        if (n == 1) {
            dst[0] = src[0];
        }
        return;
    }
#if defined(__SSE2__)
    if (n >= 16) {
        const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + n - 16));
        for (std::size_t i = 0; i + 16 <= n; i += 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), block);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + n - 16), last);
        return;
    }
#endif
    using namespace byte_ops_detail;
    if (n >= 8) {
        copy_two_words<std::uint64_t>(dst, src, n);
    } else if (n >= 4) {
        copy_two_words<std::uint32_t>(dst, src, n);
    } else {
        copy_two_words<std::uint16_t>(dst, src, n);
    }
}

// Copies N bytes, N known when compiling and at least 16: whole blocks and a
// last one that may overlap the one before, with no loop.
template <std::size_t N>
[[gnu::always_inline]] inline void copy_fixed(std::uint8_t* dst, const std::uint8_t* src) {
    static_assert(N >= 16);
#if defined(__SSE2__)
    [&]<std::size_t... Block>(std::index_sequence<Block...>) {
        (_mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16 * Block),
                          _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16 * Block))), ...);
    }(std::make_index_sequence<N / 16>{});
    if constexpr (N % 16 != 0) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + N - 16), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + N - 16)));
    }
#else
    copy_bytes(dst, src, N);
#endif
}

// copy_bytes for the rarer copies: one body in the library instead of one
// in every caller.
[[gnu::noinline]] inline void copy_bytes_out_of_line(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) {
    copy_bytes(dst, src, n);
}

// How many bytes a mask covers: bit k stands for the k-th byte.
inline constexpr std::size_t kByteMaskWidth = 16;

// kByteMaskWidth bytes from `at` on, compared with a value all at once, as
// unsigned numbers; each comparison gives a mask.
#if defined(__SSE2__)
class ByteBlock {
public:
    explicit ByteBlock(const std::uint8_t* at) : bytes_(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at))) {}

    unsigned equal(std::uint8_t value) const { return mask(_mm_cmpeq_epi8(bytes_, splat(value))); }
    unsigned at_most(std::uint8_t value) const { return mask(_mm_cmpeq_epi8(_mm_min_epu8(bytes_, splat(value)), bytes_)); }

private:
    static_assert(kByteMaskWidth == sizeof(__m128i));
    static __m128i splat(std::uint8_t value) { return _mm_set1_epi8(static_cast<char>(value)); }
    static unsigned mask(__m128i lanes) { return static_cast<unsigned>(_mm_movemask_epi8(lanes)); }

    __m128i bytes_;
};
#else
class ByteBlock {
public:
    explicit ByteBlock(const std::uint8_t* at) : at_(at) {}

    unsigned equal(std::uint8_t value) const {
        return mask([&](std::uint8_t byte) { return byte == value; });
    }
    unsigned at_most(std::uint8_t value) const {
        return mask([&](std::uint8_t byte) { return byte <= value; });
    }

private:
    template <typename Test>
    unsigned mask(Test test) const {
        unsigned bits = 0;
        for (std::size_t k = 0; k < kByteMaskWidth; ++k) {
            bits |= unsigned{test(at_[k])} << k;
        }
        return bits;
    }

    const std::uint8_t* at_;
};
#endif

// The bits of a mask that stand for bytes at positions below n.
constexpr unsigned low_bits(std::size_t n) {
    return n >= kByteMaskWidth ? (1u << kByteMaskWidth) - 1 : (1u << n) - 1;
}

// Bit k set for each byte data[at + k] equal to value, for the bytes of
// [at, at + kByteMaskWidth) that lie before end (at < end). Reads nothing
// outside [0, end).
inline unsigned byte_mask(const std::uint8_t* data, std::size_t at, std::size_t end, std::uint8_t value) {
    if (end - at >= kByteMaskWidth) {
        return ByteBlock(data + at).equal(value);
    }
    if (end >= kByteMaskWidth) {
        // The block that ends at `end`, without the bytes before at.
        return ByteBlock(data + end - kByteMaskWidth).equal(value) >> (kByteMaskWidth - (end - at));
    }
    unsigned mask = 0;
#pragma GCC unroll 1
    for (std::size_t k = 0; k < end - at; ++k) {
        mask |= unsigned{data[at + k] == value} << k;
    }
    return mask;
}

}  // namespace vandry
