// The library's own copy and search routines, which stand in for memmove
// and memchr: every length and overlap the parser can produce.
#include "byte_ops.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

namespace {

std::vector<std::uint8_t> counting(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    std::iota(v.begin(), v.end(), std::uint8_t{1});
    return v;
}

TEST(ByteOps, CopyMatchesMemmoveForEveryLengthAndDownwardOverlap) {
    for (std::size_t n = 0; n <= 80; ++n) {
        for (std::size_t shift = 0; shift <= 40; ++shift) {
            auto got = counting(n + shift + 8);
            auto want = got;
            vandry::copy_bytes(got.data(), got.data() + shift, n);
            std::memmove(want.data(), want.data() + shift, n);
            ASSERT_EQ(got, want) << "n " << n << " shift " << shift;
        }
    }
}

TEST(ByteOps, CopyBetweenSeparateBuffersTouchesOnlyTheTarget) {
    for (std::size_t n = 0; n <= 70; ++n) {
        const auto src = counting(n);
        std::vector<std::uint8_t> dst(n + 2, 0xEE);
        vandry::copy_bytes(dst.data() + 1, src.data(), n);
        EXPECT_EQ(dst.front(), 0xEE);
        EXPECT_EQ(dst.back(), 0xEE);
        EXPECT_TRUE(std::equal(src.begin(), src.end(), dst.begin() + 1)) << n;
    }
}

TEST(ByteOps, MaskMarksEveryMatchInTheWindowAndReadsNothingBeyondItsEnd) {
    for (std::size_t end = 1; end <= 40; ++end) {
        for (std::size_t at = 0; at < end; ++at) {
            for (std::size_t pattern = 0; pattern < 7; ++pattern) {
                // Exactly `end` bytes, so that a read past them is caught
                // under ASan; matches at various distances.
                std::vector<std::uint8_t> data(end, 0x11);
                for (std::size_t i = pattern % 3; i < end; i += 2 + pattern) data[i] = 0xFA;
                unsigned want = 0;
                for (std::size_t k = 0; k < 16 && at + k < end; ++k)
                    if (data[at + k] == 0xFA) want |= 1u << k;
                ASSERT_EQ(vandry::byte_mask(data.data(), at, end, 0xFA), want)
                    << "end " << end << " at " << at << " pattern " << pattern;
            }
        }
    }
}

TEST(ByteOps, BlockComparesEveryByteAsAnUnsignedNumber) {
    // Bytes on both sides of the sign bit, so that a signed compare shows.
    const std::uint8_t bytes[16] = {0x00, 0x01, 0x7F, 0x80, 0x81, 0xEF, 0xF0, 0xFA, 0xFF, 0x02, 0x5F, 0xA5, 0xE5, 0x10, 0xFE, 0x7E};
    const vandry::ByteBlock block(bytes);
    for (unsigned value = 0; value <= 0xFF; ++value) {
        unsigned equal = 0, at_most = 0;
        for (unsigned k = 0; k < 16; ++k) {
            equal |= unsigned{bytes[k] == value} << k;
            at_most |= unsigned{bytes[k] <= value} << k;
        }
        ASSERT_EQ(block.equal(static_cast<std::uint8_t>(value)), equal) << value;
        ASSERT_EQ(block.at_most(static_cast<std::uint8_t>(value)), at_most) << value;
    }
}

}  // namespace
