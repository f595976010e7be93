// What the parser and VandryStream tests share: records with guard bytes
// behind them, and random streams of everything a port may carry, cut at
// random.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "frame_builder.h"

namespace vandry_test {

// A value followed by guard bytes; a write past the value's end changes them.
template <typename T>
struct Guarded {
    static constexpr std::uint8_t kFill = 0xEE;
    static constexpr std::uint8_t kGuard = 0xC3;

    T value;
    std::uint8_t guard[32];

    Guarded() {
        std::memset(&value, kFill, sizeof value);
        std::memset(guard, kGuard, sizeof guard);
    }
    bool guard_intact() const {
        return std::all_of(std::begin(guard), std::end(guard), [](std::uint8_t b) { return b == kGuard; });
    }
    bool same_value(const T& other) const { return std::memcmp(&value, &other, sizeof value) == 0; }
};

inline Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

// A stream of everything the port may carry: frames of every payload type
// with 0xFA inside values, noise, wrong tails, other commands (also holding
// whole frames), truncated frames, frames up to 500 bytes, impossible
// lengths, short upload frames, and runs of false heads with plausible
// lengths.
inline Bytes random_stream(std::mt19937& rng, std::size_t pieces) {
    auto pick = [&](unsigned n) { return static_cast<unsigned>(rng() % n); };
    auto byte = [&] { return static_cast<std::uint8_t>(pick(8) == 0 ? unsigned{VANDRY_FRAME_HEAD} : pick(256)); };
    auto values = [&](std::size_t count) {
        std::vector<std::uint16_t> out;
        for (std::size_t k = 0; k < count; ++k)
            out.push_back(static_cast<std::uint16_t>(pick(4) == 0 ? 0x00FA + (pick(256) << 8) : pick(65536)));
        return out;
    };
    auto raw = [&](std::size_t count) {
        Bytes out;
        for (std::size_t k = 0; k < count; ++k) out.push_back(byte());
        return out;
    };
    auto any_upload = [&] { return upload_frame(static_cast<std::uint8_t>(pick(3)), values(47)); };
    Bytes out;
    for (std::size_t k = 0; k < pieces; ++k) {
        Bytes piece;
        switch (pick(14)) {
            case 0: piece = upload_frame(VANDRY_PAYLOAD_CHANNELS, values(15)); break;
            case 1: piece = upload_frame(VANDRY_PAYLOAD_BANKS, values(32)); break;
            case 2: piece = upload_frame(VANDRY_PAYLOAD_BOTH, values(47)); break;
            case 3: piece = raw(pick(40)); break;
            case 4: piece = port_frame(VANDRY_CMD_UPLOAD_DATA, upload_payload(0, values(15)), byte()); break;
            case 5: piece = port_frame(static_cast<std::uint8_t>(pick(256)), raw(pick(60))); break;
            case 6: piece = slice(any_upload(), 0, pick(100)); break;
            case 7: piece = port_frame(VANDRY_CMD_UPLOAD_DATA, concat({Bytes{static_cast<std::uint8_t>(pick(3))}, raw(pick(495))})); break;
            case 8: piece = {VANDRY_FRAME_HEAD, static_cast<std::uint8_t>(pick(256)), byte(), static_cast<std::uint8_t>(2 + pick(254))}; break;
            case 9: piece = port_frame(VANDRY_CMD_UPLOAD_DATA, upload_payload(static_cast<std::uint8_t>(pick(3)), values(pick(20)))); break;
            case 10: {
                const std::uint8_t command = pick(2) ? VANDRY_CMD_STOP_UPLOAD : VANDRY_CMD_REQUEST_UPLOAD;
                piece = port_frame(command, concat({raw(pick(3)), any_upload(), raw(pick(3))}));
                break;
            }
            case 11:  // false heads every 2 to 4 bytes, each claiming up to 495 bytes
                for (unsigned n = 1 + pick(60); n > 0; --n) {
                    const Bytes head = pick(2) ? Bytes{VANDRY_FRAME_HEAD, 0x00}
                                               : Bytes{VANDRY_FRAME_HEAD, byte(), static_cast<std::uint8_t>(pick(240)),
                                                       static_cast<std::uint8_t>(pick(2))};
                    piece.insert(piece.end(), head.begin(), head.end());
                }
                break;
            case 12: piece = port_frame(VANDRY_CMD_UPLOAD_DATA, upload_payload(static_cast<std::uint8_t>(3 + pick(253)), values(pick(4)))); break;
            default: piece = {VANDRY_FRAME_HEAD, VANDRY_CMD_UPLOAD_DATA, static_cast<std::uint8_t>(pick(256)), static_cast<std::uint8_t>(pick(2))}; break;
        }
        out.insert(out.end(), piece.begin(), piece.end());
    }
    return out;
}

// Chunk sizes that add up to total, in one of several styles; at most
// `largest` bytes each.
inline std::vector<std::size_t> random_cuts(std::mt19937& rng, std::size_t total, std::size_t largest = 255) {
    std::vector<std::size_t> sizes;
    const auto style = rng() % 4;
    for (std::size_t used = 0; used < total;) {
        std::size_t size = style == 0   ? 1 + rng() % largest
                           : style == 1 ? 1 + rng() % 8
                           : style == 2 ? largest - rng() % std::min<std::size_t>(largest, 56)
                                        : 1 + rng() % 3;
        size = std::min({size, total - used, largest});
        sizes.push_back(size);
        used += size;
    }
    return sizes;
}

// VANDRY_PROPERTY_SEED=N runs the one seed that a failure named.
inline std::pair<std::uint32_t, std::uint32_t> property_seeds(std::uint32_t last) {
    if (const char* only = std::getenv("VANDRY_PROPERTY_SEED")) {
        const auto seed = static_cast<std::uint32_t>(std::strtoul(only, nullptr, 10));
        return {seed, seed};
    }
    return {1, last};
}

}  // namespace vandry_test
