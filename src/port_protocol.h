// The device's port protocol: command frames, the stream parser and the
// upload payload decoder.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "VandryInterface.h"
#include "wire.h"

namespace vandry {

inline constexpr std::size_t kRequestUploadFrameSize = REQUEST_UPLOAD_FRAME_SIZE;
inline constexpr std::size_t kStopUploadFrameSize = STOP_UPLOAD_FRAME_SIZE;
inline constexpr std::size_t kPortBufferSize = PORT_BUFFER_SIZE;
inline constexpr std::size_t kFrameHeaderSize = 4;  // head, command, length low, length high

void write_request_upload(std::span<std::uint8_t, kRequestUploadFrameSize> frame,
                          std::uint8_t param1, std::uint8_t param2);
void write_stop_upload(std::span<std::uint8_t, kStopUploadFrameSize> frame);

// Payload bytes that a payload type needs, type byte included; 0 for a type
// the decoder does not know.
constexpr std::size_t payload_size_for_type(std::uint8_t type) {
    switch (type) {
        case PAYLOAD_CHANNELS: return 1 + 2 * CHANNEL_VALUE_COUNT;
        case PAYLOAD_BANKS: return 1 + 2 * CHANNEL_BANK_COUNT * CHANNEL_BANK_SIZE;
        case PAYLOAD_BOTH: return 1 + 2 * (CHANNEL_VALUE_COUNT + CHANNEL_BANK_COUNT * CHANNEL_BANK_SIZE);
        default: return 0;
    }
}

// Decodes one upload-data payload into whichever records its type fills and
// that are not null. Reads nothing outside `payload`. Returns false, and
// writes nothing, for a payload too short for its type (or empty); an
// unknown type writes nothing but counts as accepted.
bool decode_e5_func(std::span<const std::uint8_t> payload, channel_values* channels,
                    channel_banks* banks);

// Reassembles the port's byte stream into frames across calls. Every frame
// is decided as soon as its bytes are in, so what a call decodes depends
// only on the stream, never on how it was cut into chunks.
class PortParser {
public:
    constexpr PortParser() = default;

    // Takes the whole chunk; returns true when at least one upload-data
    // frame was accepted while taking it.
    bool feed(std::span<const std::uint8_t> chunk, channel_values* channels, channel_banks* banks);

    std::size_t pending() const { return pending_; }
    std::span<const std::uint8_t> pending_bytes() const { return {buffer_.data(), pending_}; }

private:
    std::size_t bytes_to_decide_pending() const;
    void keep(std::span<const std::uint8_t> unfinished);

    std::array<std::uint8_t, kPortBufferSize> buffer_{};
    std::uint16_t pending_ = 0;
};

}  // namespace vandry
