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

namespace {

struct ScanResult {
    std::size_t unfinished;  // where an unfinished frame starts, or the end
    bool decoded;
};

// Decides every frame whose bytes are all present, in stream order, and
// stops at the first head whose frame has not fully arrived.
ScanResult scan_frames(std::span<const std::uint8_t> bytes, channel_values* channels, channel_banks* banks) {
    const std::uint8_t* data = bytes.data();
    const std::size_t total = bytes.size();
    bool decoded = false;
    std::size_t p = 0;
    while ((p = find_byte(data, p, total, FRAME_HEAD)) < total) {
        if (p + kFrameHeaderSize > total) {
            return {p, decoded};
        }
        const std::size_t length = read_le16(data + p + 2);
        const std::size_t frame_size = length + std::size_t{FRAME_OVERHEAD};
        if (frame_size > kPortBufferSize) {
            ++p;  // can never fit the buffer: a false head, or garbage
            continue;
        }
        if (p + frame_size > total) {
            return {p, decoded};
        }
        if (data[p + frame_size - 1] != FRAME_TAIL) {
            ++p;
            continue;
        }
        const std::uint8_t command = data[p + 1];
        if (command == CMD_UPLOAD_DATA) {
            decoded |= decode_e5_func(bytes.subspan(p + kFrameHeaderSize, length), channels, banks);
            p += frame_size;
        } else if (command == CMD_REQUEST_UPLOAD) {
            p += frame_size;
        } else {
            ++p;  // an unknown command: its payload may still hold heads
        }
    }
    return {total, decoded};
}

}  // namespace

bool PortParser::feed(std::span<const std::uint8_t> chunk, channel_values* channels,
                      channel_banks* banks) {
    bool decoded = false;
    // Pending bytes start with a head whose frame is incomplete. Add only
    // the bytes that decide it; each round takes at least one byte.
    while (pending_ != 0 && !chunk.empty()) {
        const std::size_t take = bytes_to_decide_pending() < chunk.size() ? bytes_to_decide_pending() : chunk.size();
        copy_bytes(buffer_.data() + pending_, chunk.data(), take);
        chunk = chunk.subspan(take);
        const std::span<const std::uint8_t> held(buffer_.data(), pending_ + take);
        const ScanResult result = scan_frames(held, channels, banks);
        decoded |= result.decoded;
        keep(held.subspan(result.unfinished));
    }
    // Nothing pending: the rest is scanned where it lies, and only an
    // unfinished frame at its end is copied.
    if (!chunk.empty()) {
        const ScanResult result = scan_frames(chunk, channels, banks);
        decoded |= result.decoded;
        keep(chunk.subspan(result.unfinished));
    }
    return decoded;
}

std::size_t PortParser::bytes_to_decide_pending() const {
    if (pending_ < kFrameHeaderSize) {
        return kFrameHeaderSize - pending_;
    }
    // A pending frame always fits the buffer: longer ones are given up.
    const std::size_t frame_size = read_le16(&buffer_[2]) + std::size_t{FRAME_OVERHEAD};
    return frame_size - pending_;
}

void PortParser::keep(std::span<const std::uint8_t> unfinished) {
    if (unfinished.data() != buffer_.data()) {
        copy_bytes(buffer_.data(), unfinished.data(), unfinished.size());
    }
    pending_ = static_cast<std::uint16_t>(unfinished.size());
}

}  // namespace vandry
