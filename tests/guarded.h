// Records and buffers with guard bytes right behind them. A write past the
// end lands in the guard and fails a plain test run, not only one under
// ASan; a read past the end of an input picks up the guard pattern, which no
// expected value contains.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vandry_test {

inline constexpr std::size_t kGuardSize = 16;

// A pattern rather than one repeated byte, so that a stray write of any
// single value changes at least one guard byte.
inline constexpr std::uint8_t guard_byte(std::size_t k) { return static_cast<std::uint8_t>(0xE1 + 7 * k); }

template <typename T>
struct Guarded {
    T value;
    std::uint8_t guard[kGuardSize];

    // Every byte of the value is `fill`; the guard holds its pattern.
    explicit Guarded(std::uint8_t fill = 0) {
        static_assert(offsetof(Guarded, guard) == sizeof(T), "the guard must follow the value directly");
        std::memset(&value, fill, sizeof value);
        for (std::size_t k = 0; k < kGuardSize; ++k) guard[k] = guard_byte(k);
    }
    Guarded(const Guarded& other) : Guarded() { std::memcpy(&value, &other.value, sizeof value); }
    Guarded& operator=(const Guarded&) = delete;

    T* get() { return &value; }
    const T* get() const { return &value; }
};

template <typename T>
::testing::AssertionResult guard_intact(const Guarded<T>& g) {
    for (std::size_t k = 0; k < kGuardSize; ++k) {
        if (g.guard[k] != guard_byte(k)) {
            return ::testing::AssertionFailure()
                   << "byte " << k << " behind a " << sizeof(T) << "-byte record was overwritten with "
                   << static_cast<int>(g.guard[k]);
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace vandry_test
