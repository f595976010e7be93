// The one JSON writer of the tools: flat objects on one line, with numbers,
// lists of values and rows of values. Keys are the program's own words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vandry_tools {

class JsonLine {
public:
    JsonLine& number(std::string_view key, std::uint64_t value);
    // A time given in microseconds, written in seconds: 1.250000.
    JsonLine& seconds(std::string_view key, std::uint64_t microseconds);
    JsonLine& values(std::string_view key, std::span<const std::uint16_t> values);
    // `values` cut into rows of `row_length`: [[...],[...]].
    JsonLine& rows(std::string_view key, std::span<const std::uint16_t> values, std::size_t row_length);

    // The object and a newline.
    std::string finish() const { return text_ + "}\n"; }

private:
    void key(std::string_view name);
    void list(std::span<const std::uint16_t> values);

    std::string text_ = "{";
};

}  // namespace vandry_tools
