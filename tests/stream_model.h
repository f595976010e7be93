// A reference model of the port stream rules, kept apart from the library's
// code and written to be obviously right rather than fast: bytes go one at a
// time onto a growing vector, and every decision they allow is taken at
// once, from the front. Shared by the parser tests, the VandryStream tests
// and the fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "VandryInterface.h"

namespace vandry_model {

using Bytes = std::vector<std::uint8_t>;

// Payload bytes, type byte included, that types 0, 1 and 2 need.
inline bool accepted(const Bytes& payload) {
    const std::size_t needs[] = {31, 65, 95};
    return !payload.empty() && (payload[0] > 2 || payload.size() >= needs[payload[0]]);
}

class StreamModel {
public:
    // Adds one byte; returns the payloads of the accepted upload-data frames
    // that it completed (several, when it disproves a head that held them up).
    std::vector<Bytes> push(std::uint8_t byte) {
        held_.push_back(byte);
        std::vector<Bytes> frames;
        while (!held_.empty()) {
            if (held_[0] != 0xFA) { drop(1); continue; }
            if (held_.size() < 4) break;
            const std::size_t length = held_[2] + 256u * held_[3];
            const std::size_t size = length + 5;
            if (size > 500) { drop(1); continue; }              // can never fit
            if (held_.size() < size) break;                     // wait for the tail
            if (held_[size - 1] != 0x5F) { drop(1); continue; }  // wrong tail
            if (held_[1] == 0xA5) {
                const Bytes payload(held_.begin() + 4, held_.begin() + 4 + static_cast<std::ptrdiff_t>(length));
                if (accepted(payload)) frames.push_back(payload);
                drop(size);
            } else if (held_[1] == 0xE5) {
                drop(size);
            } else {
                drop(1);  // any other command: its payload is scanned too
            }
        }
        return frames;
    }

    std::size_t pending() const { return held_.size(); }

private:
    void drop(std::size_t count) { held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(count)); }

    Bytes held_;
};

// What an accepted payload leaves in the records: little-endian values from
// payload byte 1 on; type 2 puts the 15 channels before the two banks.
inline void apply(const Bytes& payload, channel_values* channels, channel_banks* banks) {
    auto value = [&](std::size_t at) { return static_cast<std::uint16_t>(payload[at] | payload[at + 1] << 8); };
    const std::uint8_t type = payload[0];
    if ((type == 0 || type == 2) && channels != nullptr) {
        for (std::size_t k = 0; k < 15; ++k) channels->channel[k] = value(1 + 2 * k);
    }
    const std::size_t banks_from = type == 1 ? 1 : 31;
    if ((type == 1 || type == 2) && banks != nullptr) {
        for (std::size_t row = 0; row < 2; ++row)
            for (std::size_t k = 0; k < 16; ++k) banks->bank[row][k] = value(banks_from + 32 * row + 2 * k);
    }
}

}  // namespace vandry_model
