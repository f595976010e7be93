#include "port_protocol.h"

#include <bit>

#include "byte_ops.h"

namespace vandry {
namespace {

constexpr std::uint16_t read_le16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

// Little-endian values land in the host's uint16_t records; on a
// little-endian host that is a plain copy.
void read_le16_values(std::uint16_t* out, const std::uint8_t* bytes, std::size_t count) {
    if constexpr (std::endian::native == std::endian::little) {
        copy_bytes(reinterpret_cast<std::uint8_t*>(out), bytes, 2 * count);
    } else {
        for (std::size_t k = 0; k < count; ++k) {
            out[k] = read_le16(bytes + 2 * k);
        }
    }
}

constexpr std::size_t kBankValues = CHANNEL_BANK_COUNT * CHANNEL_BANK_SIZE;

}  // namespace

void write_request_upload(std::span<std::uint8_t, kRequestUploadFrameSize> frame,
                          std::uint8_t param1, std::uint8_t param2) {
    frame[0] = FRAME_HEAD;
    frame[1] = CMD_REQUEST_UPLOAD;
    frame[2] = 2;  // payload length, low byte
    frame[3] = 0;
    frame[4] = param1;
    frame[5] = param2;
    frame[6] = FRAME_TAIL;
}

void write_stop_upload(std::span<std::uint8_t, kStopUploadFrameSize> frame) {
    frame[0] = FRAME_HEAD;
    frame[1] = CMD_STOP_UPLOAD;
    frame[2] = 0;  // empty payload
    frame[3] = 0;
    frame[4] = FRAME_TAIL;
}

bool decode_e5_func(std::span<const std::uint8_t> payload, channel_values* channels,
                    channel_banks* banks) {
    if (payload.empty()) {
        return false;
    }
    const std::uint8_t type = payload[0];
    const std::size_t needed = payload_size_for_type(type);
    if (needed == 0) {
        return true;  // a type this library does not know: nothing to write
    }
    if (payload.size() < needed) {
        return false;
    }
    const std::uint8_t* values = payload.data() + 1;
    if (type != PAYLOAD_BANKS) {
        if (channels != nullptr) {
            read_le16_values(channels->channel, values, CHANNEL_VALUE_COUNT);
        }
        values += 2 * CHANNEL_VALUE_COUNT;
    }
    if (type != PAYLOAD_CHANNELS && banks != nullptr) {
        read_le16_values(&banks->bank[0][0], values, kBankValues);
    }
    return true;
}

bool PortParser::feed(std::span<const std::uint8_t> chunk, channel_values* channels,
                      channel_banks* banks) {
    bool decoded = false;
    // A scan always leaves fewer than kPortBufferSize bytes pending, so each
    // round takes at least one byte and no byte is ever refused.
    while (!chunk.empty()) {
        const std::size_t room = kPortBufferSize - pending_;
        const std::size_t take = chunk.size() < room ? chunk.size() : room;
        copy_bytes(buffer_.data() + pending_, chunk.data(), take);
        chunk = chunk.subspan(take);
        decoded |= scan(pending_ + take, channels, banks);
    }
    return decoded;
}

bool PortParser::scan(std::size_t total, channel_values* channels, channel_banks* banks) {
    bool decoded = false;
    std::size_t p = 0;
    while ((p = find_byte(buffer_.data(), p, total, FRAME_HEAD)) < total) {
        if (p + kFrameHeaderSize > total) {
            keep_from(p, total);
            return decoded;
        }
        const std::size_t length = read_le16(&buffer_[p + 2]);
        const std::size_t frame_size = length + FRAME_OVERHEAD;
        if (frame_size > kPortBufferSize) {
            ++p;  // can never fit the buffer: a false head, or garbage
            continue;
        }
        if (p + frame_size > total) {
            keep_from(p, total);
            return decoded;
        }
        if (buffer_[p + frame_size - 1] != FRAME_TAIL) {
            ++p;
            continue;
        }
        const std::uint8_t command = buffer_[p + 1];
        if (command == CMD_UPLOAD_DATA) {
            const std::span<const std::uint8_t> payload(&buffer_[p + kFrameHeaderSize], length);
            decoded |= decode_e5_func(payload, channels, banks);
            p += frame_size;
        } else if (command == CMD_REQUEST_UPLOAD) {
            p += frame_size;
        } else {
            ++p;  // an unknown command: its payload may still hold heads
        }
    }
    pending_ = 0;
    return decoded;
}

void PortParser::keep_from(std::size_t start, std::size_t total) {
    if (start != 0) {
        copy_bytes(buffer_.data(), buffer_.data() + start, total - start);
    }
    pending_ = static_cast<std::uint16_t>(total - start);
}

}  // namespace vandry
