// Small helpers shared by the host tools: number parsing for options and
// one-line errors.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

namespace vandry_tools {

// Parses a whole decimal (or 0x-prefixed hexadecimal) number in [min, max].
inline std::optional<std::uint64_t> parse_number(std::string_view text, std::uint64_t min, std::uint64_t max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

// Parses a positive decimal number with an optional fraction ("2", "0.5").
inline std::optional<double> parse_seconds(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || !(value > 0) || value > 1e7) {
        return std::nullopt;
    }
    return value;
}

}  // namespace vandry_tools
