// JSON text for the host tools' records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vandry_tools {

inline std::string json_list(const std::uint16_t* values, std::size_t count) {
    std::string out = "[";
    for (std::size_t k = 0; k < count; ++k) {
        if (k != 0) out += ',';
        out += std::to_string(values[k]);
    }
    out += ']';
    return out;
}

}  // namespace vandry_tools
