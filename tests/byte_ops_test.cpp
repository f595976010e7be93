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

TEST(ByteOps, FindsTheFirstMatchAtEveryPosition) {
    for (std::size_t size = 0; size <= 70; ++size) {
        for (std::size_t from = 0; from <= size; ++from) {
            for (std::size_t at = 0; at <= size; ++at) {
                std::vector<std::uint8_t> data(size, 0x11);
                if (at < size) data[at] = 0xFA;
                if (at + 3 < size) data[at + 3] = 0xFA;  // a later match must not win
                const std::size_t want = (at < size && at >= from) ? at
                                         : (at + 3 < size && at + 3 >= from) ? at + 3
                                                                           : size;
                ASSERT_EQ(vandry::find_byte(data.data(), from, size, 0xFA), want)
                    << "size " << size << " from " << from << " at " << at;
            }
        }
    }
}

}  // namespace
