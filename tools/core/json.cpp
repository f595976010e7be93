#include "json.h"

#include <cstdio>

namespace vandry_tools {

void JsonLine::key(std::string_view name) {
    if (text_.size() > 1) text_ += ',';
    text_ += '"';
    text_ += name;
    text_ += "\":";
}

void JsonLine::list(std::span<const std::uint16_t> values) {
    text_ += '[';
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (k != 0) text_ += ',';
        text_ += std::to_string(values[k]);
    }
    text_ += ']';
}

JsonLine& JsonLine::number(std::string_view name, std::uint64_t value) {
    key(name);
    text_ += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::seconds(std::string_view name, std::uint64_t microseconds) {
    key(name);
    char digits[32];
    std::snprintf(digits, sizeof digits, "%llu.%06llu", static_cast<unsigned long long>(microseconds / 1000000),
                  static_cast<unsigned long long>(microseconds % 1000000));
    text_ += digits;
    return *this;
}

JsonLine& JsonLine::values(std::string_view name, std::span<const std::uint16_t> values) {
    key(name);
    list(values);
    return *this;
}

JsonLine& JsonLine::rows(std::string_view name, std::span<const std::uint16_t> values, std::size_t row_length) {
    key(name);
    text_ += '[';
    for (std::size_t start = 0; start < values.size(); start += row_length) {
        if (start != 0) text_ += ',';
        list(values.subspan(start, row_length));
    }
    text_ += ']';
    return *this;
}

}  // namespace vandry_tools
