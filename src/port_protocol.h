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
// little-endian host that is a plain copy, without a loop (a record's size
// is known when the code is compiled).
template <std::size_t Count>
void copy_le16_values(std::uint16_t* out, const std::uint8_t* in) {
    if constexpr (std::endian::native == std::endian::little) {
        copy_fixed<2 * Count>(reinterpret_cast<std::uint8_t*>(out), in);
    } else {
        for (std::size_t k = 0; k < Count; ++k) {
            out[k] = static_cast<std::uint16_t>(in[2 * k] | in[2 * k + 1] << 8);
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
inline bool decode_payload(std::span<const std::uint8_t> payload, channel_values* channels, channel_banks* banks) {
    if (!payload_accepted(payload)) {
        return false;
    }
    const std::uint8_t type = payload[0];
    const std::uint8_t* values = payload.data() + 1;
    if (fills_channels(type)) {
        if (channels != nullptr) {
            copy_le16_values<CHANNEL_VALUE_COUNT>(channels->channel, values);
        }
        values += 2 * CHANNEL_VALUE_COUNT;
    }
    if (fills_banks(type) && banks != nullptr) {
        copy_le16_values<CHANNEL_BANK_COUNT * CHANNEL_BANK_SIZE>(&banks->bank[0][0], values);
    }
    return true;
}

inline bool decode_e5_func(std::span<const std::uint8_t> payload, channel_values* channels, channel_banks* banks) {
    return decode_payload(payload, channels, banks);
}

// Decodes every accepted frame straight into the host's records.
struct RecordSink {
    channel_values* channels;
    channel_banks* banks;
    bool operator()(std::span<const std::uint8_t> payload) const { return decode_payload(payload, channels, banks); }
};

// ---- the stream parser ------------------------------------------------------

namespace stream_detail {

// What a scan found out about the head at `at`: `needed` bytes from it decide
// it, and fewer are in; or, with needed 0, no head waits before the end.
struct Stop {
    std::size_t at;
    std::size_t needed;
    std::size_t frames;  // accepted on the way
};

static_assert(FRAME_HEAD != FRAME_TAIL);

// The two commands whose frames are consumed whole differ in one bit, so a
// single test tells them from every other command.
inline constexpr std::uint8_t kConsumedCommandBit = CMD_UPLOAD_DATA ^ CMD_REQUEST_UPLOAD;
static_assert(std::has_single_bit(kConsumedCommandBit) && (CMD_REQUEST_UPLOAD & kConsumedCommandBit) != 0);

// Whether a complete frame is consumed whole (an upload-data or request
// frame with a good tail) rather than stepped over, its payload scanned.
inline bool consumed_whole(std::uint8_t command, std::uint8_t tail) {
    return tail == FRAME_TAIL && (command | kConsumedCommandBit) == CMD_REQUEST_UPLOAD;
}

inline std::size_t frame_size_at(const std::uint8_t* head) {
    return std::size_t{static_cast<std::uint16_t>(head[2] | head[3] << 8)} + FRAME_OVERHEAD;
}

// Where a frame's tail lies, counted from its head. A length that can never
// fit the buffer takes the head itself for the tail, which it never is: such
// a head is decided at once, as a false one, without a branch of its own
// (whether a false length is possible is random).
inline std::size_t tail_offset(std::size_t frame_size) {
    return (frame_size - 1) & (std::size_t{0} - std::size_t{frame_size <= kPortBufferSize});
}

// Decides the heads in data[p, heads_end), in stream order, with the bytes
// data[0, size) at hand, until one cannot be decided yet (the returned stop)
// or none is left (a frame consumed whole may leave p beyond heads_end).
template <typename Sink>
[[gnu::noinline]] Stop decide_heads(const std::uint8_t* data, std::size_t size, std::size_t p, std::size_t heads_end,
                                    Sink sink) {
    std::size_t frames = 0;
    while (p < heads_end) {
        // The heads of a window at once: in a hostile stream they lie a few
        // bytes apart, at random, and a branch per byte would guess wrong.
        // A head right at p, as behind every frame of a normal stream, needs
        // no window.
        unsigned heads = 1;
        std::size_t next = p + 1;
        if (data[p] != FRAME_HEAD) {
            heads = byte_mask(data, p, size, FRAME_HEAD) & low_bits(heads_end - p);
            next = heads_end - p > kByteMaskWidth ? p + kByteMaskWidth : heads_end;
        }
        for (; heads != 0; heads &= heads - 1) {
            const std::size_t head = p + static_cast<unsigned>(std::countr_zero(heads));
            const std::size_t available = size - head;
            if (available < kFrameHeaderSize) {
                return {head, kFrameHeaderSize, frames};
            }
            const std::size_t frame_size = frame_size_at(data + head);
            const std::size_t tail_at = tail_offset(frame_size);
            if (tail_at >= available) {
                return {head, frame_size, frames};
            }
            const std::uint8_t command = data[head + 1];
            if (consumed_whole(command, data[head + tail_at])) {
                if (command == CMD_UPLOAD_DATA) {
                    frames += sink({data + head + kFrameHeaderSize, frame_size - FRAME_OVERHEAD}) ? 1u : 0u;
                }
                next = head + frame_size;
                break;
            }
        }
        p = next;
    }
    return {p, 0, frames};
}

}  // namespace stream_detail

// Reassembles the port's byte stream into frames. Every frame is decided as
// soon as its bytes are in, so what a call decodes depends only on the
// stream, never on how it was cut into chunks.
//
// Only the earliest undecided head matters: its decision may consume the
// bytes behind it. The parser keeps the bytes from that head on (always
// fewer than kPortBufferSize) and how many it needs to decide it. A chunk
// that does not reach that count is only appended. Otherwise the chunk's
// first bytes complete the held frame in the buffer, where it is decided
// and decoded in one piece, the rest of the chunk is scanned in place, and
// only an undecided tail is kept, so a false head costs a few reads instead
// of a rescan.
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
        if (held_ + chunk.size() < needed_) {
            append(chunk);
            return true;
        }
        if (held_ == 0 && chunk.size() == 1) {
            // A port read a byte at a time, between frames: a head to keep, or nothing.
            if (chunk[0] == FRAME_HEAD) {
                buffer_[0] = FRAME_HEAD;
                start_ = 0;
                held_ = 1;
                needed_ = kFrameHeaderSize;
            }
            return true;
        }
        return false;
    }
    template <typename Sink>
    [[gnu::always_inline]] std::size_t scan(std::span<const std::uint8_t> chunk, Sink sink);

    void reset() { start_ = held_ = needed_ = 0; }

    // Whether every offset lies where the parser could have put it. Storage
    // of a caller that was never initialised may hold anything; such a
    // parser is reset rather than let it write outside its buffer.
    bool sound() const {
        if (held_ == 0) {
            return needed_ == 0 && start_ <= kPortBufferSize;
        }
        // An incomplete header always waits for exactly its four bytes.
        return held_ < needed_ && start_ + needed_ <= kPortBufferSize &&
               (held_ >= kFrameHeaderSize || needed_ == kFrameHeaderSize);
    }

    std::size_t pending() const { return held_; }
    std::span<const std::uint8_t> pending_bytes() const { return {buffer_.data() + start_, held_}; }

private:
    // What the bytes a chunk brings say about the held head.
    enum class Held {
        waiting,   // still undecided: the whole chunk was appended
        consumed,  // its frame was consumed whole
        false_head,
    };
    // Where the scan of the chunk goes on after the heads among held bytes,
    // or npos when the parser holds the rest.
    struct Resume {
        std::size_t from;
        std::size_t frames;
    };
    static constexpr std::size_t npos = ~std::size_t{0};

    template <typename Sink>
    [[gnu::always_inline]] inline Held decide_held_head(std::span<const std::uint8_t>& chunk, Sink sink, std::size_t& frames);
    template <typename Sink>
    [[gnu::noinline]] Resume decide_heads_behind_false_head(std::span<const std::uint8_t> chunk, Sink sink);

    // Appends behind the held bytes; make_room has left space for them.
    void append(std::span<const std::uint8_t> bytes) {
        std::uint8_t* end = buffer_.data() + start_ + held_;
        held_ = static_cast<std::uint16_t>(held_ + bytes.size());
        copy_bytes(end, bytes.data(), bytes.size());
    }
    // Moves the first n bytes of the chunk behind the held bytes.
    void take(std::span<const std::uint8_t>& chunk, std::size_t n) {
        append(chunk.first(n));
        chunk = chunk.subspan(n);
    }
    // Moves the held bytes to the front when a frame of `size` bytes from
    // start_ would not fit the buffer, so that appending never checks.
    void make_room(std::size_t size) {
        if (start_ + size > kPortBufferSize) {
            copy_bytes_out_of_line(buffer_.data(), buffer_.data() + start_, held_);
            start_ = 0;
        }
    }
    // Keeps the held bytes from `at` on, then the chunk, for a head that
    // `needed` bytes decide.
    void keep_held(std::size_t at, std::span<const std::uint8_t> chunk, std::size_t needed);
    // Keeps only `bytes` (none, or a head that `needed` bytes decide).
    void keep_only(std::span<const std::uint8_t> bytes, std::size_t needed) {
        copy_bytes(buffer_.data(), bytes.data(), bytes.size());
        start_ = 0;
        held_ = static_cast<std::uint16_t>(bytes.size());
        needed_ = static_cast<std::uint16_t>(needed);
    }

    // Held bytes: buffer_[start_, start_ + held_), beginning with the
    // earliest undecided head; needed_ bytes decide it, and that many fit
    // behind start_. All three are 0 when nothing is held.
    std::array<std::uint8_t, kPortBufferSize> buffer_{};
    std::uint16_t start_ = 0;
    std::uint16_t held_ = 0;
    std::uint16_t needed_ = 0;
};

// The held head with the bytes the chunk brings, which are at least those
// that decide it (scan runs only then): the chunk's first bytes complete its
// header, then its frame, behind the held bytes, where the frame is decided
// and decoded in one piece.
template <typename Sink>
PortStream::Held PortStream::decide_held_head(std::span<const std::uint8_t>& chunk, Sink sink, std::size_t& frames) {
    using namespace stream_detail;
    if (held_ < kFrameHeaderSize) {
        take(chunk, kFrameHeaderSize - held_);
        const std::size_t frame_size = frame_size_at(buffer_.data() + start_);
        if (frame_size > kPortBufferSize) {
            return Held::false_head;
        }
        make_room(frame_size);
        needed_ = static_cast<std::uint16_t>(frame_size);
        if (held_ + chunk.size() < needed_) {
            append(chunk);
            return Held::waiting;
        }
    }
    take(chunk, needed_ - held_);
    const std::uint8_t* frame = buffer_.data() + start_;
    if (!consumed_whole(frame[1], frame[needed_ - 1])) {
        return Held::false_head;
    }
    if (frame[1] == CMD_UPLOAD_DATA) {
        frames += sink({frame + kFrameHeaderSize, needed_ - FRAME_OVERHEAD}) ? 1u : 0u;
    }
    return Held::consumed;
}

// The held head was false. The heads behind it among the held bytes may be
// decided by bytes of the chunk; their frames may reach into it, so held
// bytes and chunk are joined in one sequence first, as far as such a frame
// can reach. Rarer than the rest: out of line.
template <typename Sink>
PortStream::Resume PortStream::decide_heads_behind_false_head(std::span<const std::uint8_t> chunk, Sink sink) {
    using namespace stream_detail;
    const std::size_t held = held_;
    const std::uint8_t* bytes = buffer_.data() + start_;
    Stop stop;
    if (chunk.empty()) {
        stop = decide_heads(bytes, held, 1, held, sink);
    } else {
        std::uint8_t joined[2 * kPortBufferSize];
        const std::size_t reach = chunk.size() < kPortBufferSize ? chunk.size() : kPortBufferSize;
        copy_bytes_out_of_line(joined, bytes, held);
        copy_bytes_out_of_line(joined + held, chunk.data(), reach);
        stop = decide_heads(joined, held + reach, 1, held, sink);
    }
    if (stop.needed != 0) {
        keep_held(stop.at, chunk, stop.needed);
        return {npos, stop.frames};
    }
    return {stop.at - held, stop.frames};
}

template <typename Sink>
inline std::size_t PortStream::scan(std::span<const std::uint8_t> chunk, Sink sink) {
    std::size_t frames = 0;
    std::size_t from = 0;  // the chunk's first head to decide
    if (held_ != 0) {
        const Held held = decide_held_head(chunk, sink, frames);
        if (held == Held::waiting) {
            return 0;
        }
        if (held == Held::false_head) {
            const Resume resume = decide_heads_behind_false_head(chunk, sink);
            if (resume.from == npos) {
                return resume.frames;
            }
            frames += resume.frames;
            from = resume.from;
        }
    }
    // Then the chunk in place; only an undecided tail is copied.
    const stream_detail::Stop stop = stream_detail::decide_heads(chunk.data(), chunk.size(), from, chunk.size(), sink);
    keep_only(chunk.subspan(stop.needed != 0 ? stop.at : chunk.size()), stop.needed);
    return frames + stop.frames;
}

}  // namespace vandry
