// How the monitor feeds the library's port parser.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "VandryInterface.h"

namespace vandry_tools {

struct PortRecords {
    channel_values channels{};
    channel_banks banks{};
};

// parse_port_data reports whether at least one frame was decoded during a
// call, and the records then hold the last one. Fed one byte per call, no
// call can complete two frames, so every accepted frame is one update with
// its own values. A call per byte costs little next to reading the port.
class PortFeeder {
public:
    // Feeds `bytes` in order; after each accepted frame calls
    // on_update(records), and stops early when it returns false. Returns
    // how many bytes were fed.
    template <typename OnUpdate>
    std::size_t feed(std::span<const std::uint8_t> bytes, OnUpdate&& on_update) {
        for (std::size_t k = 0; k < bytes.size(); ++k) {
            if (parse_port_data(&bytes[k], 1, &records_.channels, &records_.banks) != 0 && !on_update(records_))
                return k + 1;
        }
        return bytes.size();
    }

    const PortRecords& records() const { return records_; }
    PortRecords& records() { return records_; }

    // Makes the parser drop what it holds, through the public interface
    // only, so that half a frame from a session that ended cannot join the
    // bytes of the next one (the protocol has no checksum to catch that).
    // A frame is at most 500 bytes, so 500 bytes that hold no head decide
    // every head the parser keeps; zeros are neither a head (0xFA) nor a
    // tail (0x5F), and with null record pointers nothing of the host's
    // records changes, even if an old frame completes on the way.
    static void forget_pending_bytes();

private:
    PortRecords records_{};
};

}  // namespace vandry_tools
