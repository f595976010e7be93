// The device's port protocol: command frames, the upload payload decoder and
// the stream parser that both libraries share.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "VandryInterface.h"
#include "byte_ops.h"
#include "wire.h"

namespace vandry {

inline constexpr std::size_t kRequestUploadFrameSize = REQUEST_UPLOAD_FRAME_SIZE;
inline constexpr std::size_t kStopUploadFrameSize = STOP_UPLOAD_FRAME_SIZE;
inline constexpr std::size_t kPortBufferSize = PORT_BUFFER_SIZE;
inline constexpr std::size_t kFrameHeaderSize = 4;  // head, command, length low, length high

void write_request_upload(std::span<std::uint8_t, kRequestUploadFrameSize> frame,
                          std::uint8_t param1, std::uint8_t param2);
void write_stop_upload(std::span<std::uint8_t, kStopUploadFrameSize> frame);

// ---- the upload payload decoder ---------------------------------------------

// Little-endian values land in the host's uint16_t records; on a
// little-endian host that is a plain copy.
inline void copy_le16_values(std::uint16_t* out, const std::uint8_t* bytes, std::size_t count) {
    if constexpr (std::endian::native == std::endian::little) {
        copy_bytes(reinterpret_cast<std::uint8_t*>(out), bytes, 2 * count);
    } else {
        for (std::size_t k = 0; k < count; ++k) {
            out[k] = static_cast<std::uint16_t>(bytes[2 * k] | bytes[2 * k + 1] << 8);
        }
    }
}

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

// The most payload bytes the decoder ever reads.
inline constexpr std::size_t kLongestPayloadRead = payload_size_for_type(PAYLOAD_BOTH);

constexpr bool fills_channels(std::uint8_t type) { return type == PAYLOAD_CHANNELS || type == PAYLOAD_BOTH; }
constexpr bool fills_banks(std::uint8_t type) { return type == PAYLOAD_BANKS || type == PAYLOAD_BOTH; }

// An upload payload is accepted when it holds everything its type needs; an
// unknown type needs only its type byte and fills nothing.
inline bool payload_accepted(std::span<const std::uint8_t> payload) {
    return !payload.empty() && payload.size() >= payload_size_for_type(payload[0]);
}

// Decodes one upload-data payload into whichever records its type fills and
// that are not null. Reads nothing outside `payload`. Returns false, and
// writes nothing, for a payload too short for its type (or empty); an
// unknown type writes nothing but counts as accepted.
inline bool decode_e5_func(std::span<const std::uint8_t> payload, channel_values* channels,
                           channel_banks* banks) {
    if (!payload_accepted(payload)) {
        return false;
    }
    const std::uint8_t type = payload[0];
    const std::uint8_t* values = payload.data() + 1;
    if (fills_channels(type)) {
        if (channels != nullptr) {
            copy_le16_values(channels->channel, values, CHANNEL_VALUE_COUNT);
        }
        values += 2 * CHANNEL_VALUE_COUNT;
    }
    if (fills_banks(type) && banks != nullptr) {
        copy_le16_values(&banks->bank[0][0], values, CHANNEL_BANK_COUNT * CHANNEL_BANK_SIZE);
    }
    return true;
}

// Decodes every accepted frame straight into the host's records.
struct RecordSink {
    channel_values* channels;
    channel_banks* banks;
    bool operator()(std::span<const std::uint8_t> payload) const { return decode_e5_func(payload, channels, banks); }
};

// ---- the stream parser ------------------------------------------------------

// Reassembles the port's byte stream into frames. Every frame is decided as
// soon as its bytes are in, so what a call decodes depends only on the
// stream, never on how it was cut into chunks.
//
// Only the earliest undecided head matters: its decision may consume the
// bytes behind it. The parser keeps the bytes from that head on (always
// fewer than kPortBufferSize) and how many it needs to decide it. A chunk
// that does not reach that count is only appended. Otherwise the held
// frame is completed in the buffer, the held bytes and the chunk are
// scanned together where they lie, and only the undecided tail is kept, so
// a false head costs a few reads instead of a rescan.
//
// A zeroed object is a fresh parser: the C library keeps one in storage that
// its caller owns.
class PortStream {
public:
    constexpr PortStream() = default;

    // Takes the whole chunk and calls sink(payload) for every complete
    // upload-data frame in stream order; returns how many the sink accepted.
    template <typename Sink>
    std::size_t feed(std::span<const std::uint8_t> chunk, Sink sink) {
        return hold_if_undecided(chunk) ? 0 : scan(chunk, sink);
    }

    // The two halves of feed, for callers that keep the second out of line.
    // A chunk that cannot decide the held head is only appended (true);
    // any other chunk is left to scan.
    bool hold_if_undecided(std::span<const std::uint8_t> chunk) {
        if (held_ + chunk.size() >= needed_) {
            return false;
        }
        append(chunk);
        return true;
    }
    template <typename Sink>
    std::size_t scan(std::span<const std::uint8_t> chunk, Sink sink);

    void reset() { start_ = held_ = needed_ = 0; }

    std::size_t pending() const { return held_; }
    std::span<const std::uint8_t> pending_bytes() const { return {buffer_.data() + start_, held_}; }

private:
    // Appends behind the held bytes; make_room has left space for them.
    void append(std::span<const std::uint8_t> bytes) {
        copy_bytes(buffer_.data() + start_ + held_, bytes.data(), bytes.size());
        held_ = static_cast<std::uint16_t>(held_ + bytes.size());
    }
    // Moves the held bytes to the front when a frame of `size` bytes from
    // start_ would not fit the buffer, so that appending never checks.
    void make_room(std::size_t size) {
        if (start_ + size > kPortBufferSize) {
            copy_bytes(buffer_.data(), buffer_.data() + start_, held_);
            start_ = 0;
        }
    }
    // Keeps the held bytes from `at` on, then the chunk, for a head that
    // `needed` bytes decide.
    void keep_held(std::size_t at, std::span<const std::uint8_t> chunk, std::size_t needed);
    // Keeps only `bytes` (none, or a head that `needed` bytes decide).
    void keep_only(std::span<const std::uint8_t> bytes, std::size_t needed);

    // Held bytes: buffer_[start_, start_ + held_), beginning with the
    // earliest undecided head; needed_ bytes decide it, and that many fit
    // behind start_. All three are 0 when nothing is held.
    std::array<std::uint8_t, kPortBufferSize> buffer_{};
    std::uint16_t start_ = 0;
    std::uint16_t held_ = 0;
    std::uint16_t needed_ = 0;
};

namespace stream_detail {

// What a scan found out about the head at `at`: `needed` bytes from it decide
// it, and fewer are in; or, with needed 0, no head waits before the end.
struct Stop {
    std::size_t at;
    std::size_t needed;
};

// The chunk alone, read in place.
class ChunkBytes {
public:
    explicit ChunkBytes(std::span<const std::uint8_t> chunk) : bytes_(chunk) {}
    std::size_t size() const { return bytes_.size(); }
    std::uint8_t operator[](std::size_t i) const { return bytes_[i]; }
    std::size_t find_head(std::size_t from) const {
        return find_byte(bytes_.data(), from, bytes_.size(), FRAME_HEAD);
    }
    std::size_t heads_end() const { return bytes_.size(); }
    std::span<const std::uint8_t> payload(std::size_t at, std::size_t length, std::uint8_t*) const {
        return bytes_.subspan(at, length);
    }

private:
    std::span<const std::uint8_t> bytes_;
};

// The held bytes followed by the chunk, as one sequence; only heads among
// the held bytes are searched here, the chunk's own are ChunkBytes' job.
class JoinedBytes {
public:
    JoinedBytes(std::span<const std::uint8_t> held, std::span<const std::uint8_t> chunk)
        : held_(held), chunk_(chunk) {}
    std::size_t size() const { return held_.size() + chunk_.size(); }
    std::uint8_t operator[](std::size_t i) const {
        return i < held_.size() ? held_[i] : chunk_[i - held_.size()];
    }
    // A frame that reached into the chunk may leave `from` past the held bytes.
    std::size_t find_head(std::size_t from) const {
        return from < held_.size() ? find_byte(held_.data(), from, held_.size(), FRAME_HEAD) : from;
    }
    std::size_t heads_end() const { return held_.size(); }
    // A payload that straddles both parts is gathered into `scratch`, as far
    // as the decoder reads.
    std::span<const std::uint8_t> payload(std::size_t at, std::size_t length, std::uint8_t* scratch) const;

private:
    std::span<const std::uint8_t> held_;
    std::span<const std::uint8_t> chunk_;
};

// What the bytes of a complete frame, its tail included, say about it.
enum class Verdict {
    step,    // no frame, or one whose payload is scanned for heads: move on one byte
    pass,    // a request frame: move on behind it
    upload,  // an upload-data frame: deliver it, then move on behind it
};

inline Verdict judge(std::uint8_t command, std::uint8_t tail) {
    if (tail != FRAME_TAIL || (command != CMD_UPLOAD_DATA && command != CMD_REQUEST_UPLOAD)) {
        return Verdict::step;
    }
    return command == CMD_UPLOAD_DATA ? Verdict::upload : Verdict::pass;
}

template <typename Bytes>
std::size_t frame_size_at(const Bytes& bytes, std::size_t head) {
    return (std::size_t{bytes[head + 2]} | std::size_t{bytes[head + 3]} << 8) + FRAME_OVERHEAD;
}

// Decides the heads from p on, in stream order, until one cannot be decided
// yet (the returned stop) or no head is left before bytes.heads_end().
template <typename Bytes, typename Sink>
Stop decide_heads(const Bytes& bytes, std::size_t p, std::size_t& frames, Sink sink) {
    std::uint8_t scratch[kLongestPayloadRead];
    while ((p = bytes.find_head(p)) < bytes.heads_end()) {
        const std::size_t available = bytes.size() - p;
        if (available < kFrameHeaderSize) {
            return {p, kFrameHeaderSize};
        }
        const std::size_t frame_size = frame_size_at(bytes, p);
        if (frame_size > kPortBufferSize) {
            ++p;  // can never fit the buffer: a false head, or garbage
            continue;
        }
        if (available < frame_size) {
            return {p, frame_size};
        }
        const Verdict verdict = judge(bytes[p + 1], bytes[p + frame_size - 1]);
        if (verdict == Verdict::step) {
            ++p;
            continue;
        }
        if (verdict == Verdict::upload) {
            frames += sink(bytes.payload(p + kFrameHeaderSize, frame_size - FRAME_OVERHEAD, scratch)) ? 1u : 0u;
        }
        p += frame_size;
    }
    return {p, 0};
}

}  // namespace stream_detail

template <typename Sink>
std::size_t PortStream::scan(std::span<const std::uint8_t> chunk, Sink sink) {
    using namespace stream_detail;
    std::size_t frames = 0;
    std::size_t from = 0;  // the first head to decide
    if (held_ >= kFrameHeaderSize) {
        // The usual case: the chunk brings the rest of the held frame, whose
        // size is known. Completed in the buffer, it is decided in place.
        const std::size_t take = needed_ - held_;
        append(chunk.first(take));
        chunk = chunk.subspan(take);
        const std::uint8_t* frame = buffer_.data() + start_;
        const Verdict verdict = judge(frame[1], frame[needed_ - 1]);
        if (verdict == Verdict::upload) {
            frames += sink(std::span(frame + kFrameHeaderSize, needed_ - FRAME_OVERHEAD)) ? 1u : 0u;
        }
        if (verdict != Verdict::step) {
            held_ = 0;
        }
        from = 1;
    }
    if (held_ != 0) {
        // Heads among the held bytes: their frames may reach into the chunk.
        const std::size_t held = held_;
        const Stop stop = decide_heads(JoinedBytes(pending_bytes(), chunk), from, frames, sink);
        if (stop.needed != 0) {
            keep_held(stop.at, chunk, stop.needed);
            return frames;
        }
        from = stop.at - held;
    } else {
        from = 0;
    }
    // Then the chunk in place; only an undecided tail is copied.
    const Stop stop = decide_heads(ChunkBytes(chunk), from, frames, sink);
    keep_only(chunk.subspan(stop.needed != 0 ? stop.at : chunk.size()), stop.needed);
    return frames;
}

}  // namespace vandry
