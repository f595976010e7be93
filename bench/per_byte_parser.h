// A well-written per-byte state machine for the port stream, the comparator
// of the parser's benchmark: the usual way to write such a parser, made
// correct. It follows the same stream rules (the held bytes behind a false
// head are fed through it again) and decodes into the same records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "VandryInterface.h"

namespace vandry_bench {

class PerByteParser {
public:
    // As parse_port_data: true when a frame was accepted during the call.
    bool feed(const std::uint8_t* data, std::size_t len, channel_values* channels, channel_banks* banks);
    std::size_t pending() const { return held_; }

private:
    enum State : std::uint8_t { kHead, kCommand, kLengthLow, kLengthHigh, kPayload };

    bool step(std::uint8_t byte, channel_values* channels, channel_banks* banks);
    bool finish(channel_values* channels, channel_banks* banks);
    void reject();

    std::uint8_t frame_[VANDRY_PORT_BUFFER_SIZE];
    std::uint8_t replay_[VANDRY_PORT_BUFFER_SIZE];  // bytes to feed again: [replay_from_, end)
    std::size_t replay_from_ = VANDRY_PORT_BUFFER_SIZE;
    std::size_t held_ = 0;
    std::size_t frame_size_ = 0;
    State state_ = kHead;
};

}  // namespace vandry_bench

// The benchmark calls it the way it calls parse_port_data: an export of a
// shared library of its own, with one process-wide instance.
extern "C" __attribute__((visibility("default"))) std::uint8_t per_byte_parse_port_data(
    const std::uint8_t* data, std::uint8_t len, channel_values* channels, channel_banks* banks);

// parse_port_data's signature, doing nothing: what calling any parser once
// per read costs before it does any work, exported and called the same way.
extern "C" __attribute__((visibility("default"))) std::uint8_t empty_parse_port_data(
    const std::uint8_t* data, std::uint8_t len, channel_values* channels, channel_banks* banks);
