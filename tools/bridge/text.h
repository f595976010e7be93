// Small text helpers for the bridge's parsers.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandry_bridge {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Spaces, tabs and the carriage return of a file written on Windows.
inline std::string_view trim(std::string_view text) {
    constexpr std::string_view kBlank = " \t\r";
    const std::size_t first = text.find_first_not_of(kBlank);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

// The fields between separators, as they are. Never empty: "" gives one
// empty field.
inline std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t end = text.find(separator);
        fields.push_back(text.substr(0, end));
        if (end == std::string_view::npos) return fields;
        text.remove_prefix(end + 1);
    }
}

// The text for a message, with every byte that is not printable ASCII shown
// as \xNN: a NUL from a damaged file would otherwise cut the message short,
// and other control bytes would reach the user's terminal.
inline std::string printable(std::string_view text) {
    constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}

// 'text', printable. Appended piece by piece: GCC 12 at -O3 warns falsely
// (-Wrestrict) about "'" + std::string(text).
inline std::string quoted(std::string_view text) {
    std::string out(1, '\'');
    out += printable(text);
    out += '\'';
    return out;
}

// Decimal digits only (no sign, no spaces), in [min, max].
inline std::optional<std::uint32_t> parse_decimal(std::string_view text, std::uint32_t min, std::uint32_t max) {
    std::uint32_t value = 0;
    const char* const end = text.data() + text.size();
    if (text.empty() || !is_digit(text[0])) return std::nullopt;
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || stop != end || value < min || value > max) return std::nullopt;
    return value;
}

}  // namespace vandry_bridge
