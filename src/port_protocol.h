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

// An upload payload that a chunk completes: its first bytes are held, the
// rest lie at the start of the chunk. Read where it lies, so that no byte is
// copied before it lands in a record.
class SplitPayload {
public:
    SplitPayload(std::span<const std::uint8_t> held, const std::uint8_t* rest, std::size_t size)
        : held_(held.size() < size ? held : held.first(size)), rest_(rest), size_(size) {}

    std::size_t size() const { return size_; }
    std::uint8_t operator[](std::size_t i) const { return i < held_.size() ? held_[i] : rest_[i - held_.size()]; }
    // Copies bytes [from, from + n) to dst.
    void copy(std::uint8_t* dst, std::size_t from, std::size_t n) const {
        std::size_t done = 0;
        if (from < held_.size()) {
            done = held_.size() - from < n ? held_.size() - from : n;
            copy_bytes(dst, held_.data() + from, done);
        }
        if (done < n) {
            copy_bytes(dst + done, rest_ + (from + done - held_.size()), n - done);
        }
    }

private:
    std::span<const std::uint8_t> held_;
    const std::uint8_t* rest_;
    std::size_t size_;
};

// Copies payload bytes [from, from + N) to dst. A record's size is known
// when the code is compiled, so a payload in one piece is copied without a
// loop.
template <std::size_t N>
void copy_payload(std::uint8_t* dst, std::span<const std::uint8_t> payload, std::size_t from) {
    copy_fixed<N>(dst, payload.data() + from);
}
template <std::size_t N>
void copy_payload(std::uint8_t* dst, const SplitPayload& payload, std::size_t from) {
    payload.copy(dst, from, N);
}

// Little-endian values land in the host's uint16_t records; on a
// little-endian host that is a plain copy.
template <std::size_t Count, typename Payload>
void copy_le16_values(std::uint16_t* out, const Payload& payload, std::size_t from) {
    if constexpr (std::endian::native == std::endian::little) {
        copy_payload<2 * Count>(reinterpret_cast<std::uint8_t*>(out), payload, from);
    } else {
        for (std::size_t k = 0; k < Count; ++k) {
            out[k] = static_cast<std::uint16_t>(payload[from + 2 * k] | payload[from + 2 * k + 1] << 8);
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
template <typename Payload>
bool payload_accepted(const Payload& payload) {
    return payload.size() != 0 && payload.size() >= payload_size_for_type(payload[0]);
}

// Decodes one upload-data payload into whichever records its type fills and
// that are not null. Reads nothing outside `payload`. Returns false, and
// writes nothing, for a payload too short for its type (or empty); an
// unknown type writes nothing but counts as accepted.
template <typename Payload>
bool decode_payload(const Payload& payload, channel_values* channels, channel_banks* banks) {
    if (!payload_accepted(payload)) {
        return false;
    }
    const std::uint8_t type = payload[0];
    std::size_t values = 1;
    if (fills_channels(type)) {
        if (channels != nullptr) {
            copy_le16_values<CHANNEL_VALUE_COUNT>(channels->channel, payload, values);
        }
        values += 2 * CHANNEL_VALUE_COUNT;
    }
    if (fills_banks(type) && banks != nullptr) {
        copy_le16_values<CHANNEL_BANK_COUNT * CHANNEL_BANK_SIZE>(&banks->bank[0][0], payload, values);
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
    template <typename Payload>
    bool operator()(const Payload& payload) const {
        return decode_payload(payload, channels, banks);
    }
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
    // Appends behind the held bytes; make_room has left space for them.
    void append(std::span<const std::uint8_t> bytes) {
        std::uint8_t* end = buffer_.data() + start_ + held_;
        held_ = static_cast<std::uint16_t>(held_ + bytes.size());
        copy_bytes(end, bytes.data(), bytes.size());
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

namespace stream_detail {

// What a scan found out about the head at `at`: `needed` bytes from it decide
// it, and fewer are in; or, with needed 0, no head waits before the end.
struct Stop {
    std::size_t at;
    std::size_t needed;
    std::size_t frames;  // accepted on the way
};

// What the bytes of a complete frame, its tail included, say about it.
enum class Verdict {
    step,    // no frame, or one whose payload is scanned for heads: move on one byte
    pass,    // a request frame: move on behind it
    upload,  // an upload-data frame: deliver it, then move on behind it
};

static_assert(FRAME_HEAD != FRAME_TAIL);

inline Verdict judge(std::uint8_t command, std::uint8_t tail) {
    if (tail != FRAME_TAIL || (command != CMD_UPLOAD_DATA && command != CMD_REQUEST_UPLOAD)) {
        return Verdict::step;
    }
    return command == CMD_UPLOAD_DATA ? Verdict::upload : Verdict::pass;
}

inline std::size_t frame_size_at(std::span<const std::uint8_t> bytes, std::size_t head) {
    const auto length = static_cast<std::uint16_t>(bytes[head + 2] | bytes[head + 3] << 8);
    return std::size_t{length} + FRAME_OVERHEAD;
}

// Decides the heads in bytes[p, heads_end), in stream order, until one
// cannot be decided yet (the returned stop) or none is left.
template <typename Sink>
[[gnu::always_inline]] inline Stop decide_heads(std::span<const std::uint8_t> bytes, std::size_t p,
                                                std::size_t heads_end, Sink sink) {
    std::size_t frames = 0;
    const std::uint8_t* data = bytes.data();
    // A frame that was passed over may leave p beyond heads_end.
    while (p < heads_end) {
        if (data[p] != FRAME_HEAD) {
            p = find_byte(data, p + 1, heads_end, FRAME_HEAD);
            continue;
        }
        const std::size_t available = bytes.size() - p;
        if (available < kFrameHeaderSize) {
            return {p, kFrameHeaderSize, frames};
        }
        const std::size_t frame_size = frame_size_at(bytes, p);
        // A length that can never fit the buffer takes the head itself for
        // the tail, which it never is: a false head, or garbage, without a
        // branch of its own (whether a false length is possible is random).
        const std::size_t tail_at = (frame_size - 1) & (std::size_t{0} - std::size_t{frame_size <= kPortBufferSize});
        if (tail_at >= available) {
            return {p, frame_size, frames};
        }
        const Verdict verdict = judge(data[p + 1], data[p + tail_at]);
        if (verdict == Verdict::step) {
            ++p;
            continue;
        }
        if (verdict == Verdict::upload) {
            frames += sink(bytes.subspan(p + kFrameHeaderSize, frame_size - FRAME_OVERHEAD)) ? 1u : 0u;
        }
        p += frame_size;
    }
    return {p, 0, frames};
}

// The same for heads among held bytes, which is rarer: out of line. Their
// frames may reach into the chunk, so held bytes and chunk are copied into
// one sequence first, as far as such a frame can reach.
template <typename Sink>
[[gnu::noinline]] Stop decide_held_heads(std::span<const std::uint8_t> held, std::span<const std::uint8_t> chunk,
                                         std::size_t p, Sink sink) {
    std::uint8_t joined[2 * kPortBufferSize];
    const std::size_t reach = chunk.size() < kPortBufferSize ? chunk.size() : kPortBufferSize;
    copy_bytes_out_of_line(joined, held.data(), held.size());
    copy_bytes_out_of_line(joined + held.size(), chunk.data(), reach);
    return decide_heads(std::span<const std::uint8_t>(joined, held.size() + reach), p, held.size(), sink);
}

}  // namespace stream_detail

template <typename Sink>
inline std::size_t PortStream::scan(std::span<const std::uint8_t> chunk, Sink sink) {
    using namespace stream_detail;
    std::size_t frames = 0;
    std::size_t from = 0;  // the first head to decide
    if (held_ == 0 && chunk.size() < kFrameHeaderSize) {
        // A short read with nothing held: no head in it can be decided yet.
        const std::size_t head = find_byte(chunk.data(), 0, chunk.size(), FRAME_HEAD);
        keep_only(chunk.subspan(head), head < chunk.size() ? kFrameHeaderSize : 0);
        return 0;
    }
    if (held_ != 0 && held_ < kFrameHeaderSize) {
        // The chunk completes the held header: often all it does is tell
        // how many bytes the frame still lacks.
        auto byte = [&](std::size_t i) { return i < held_ ? buffer_[start_ + i] : chunk[i - held_]; };
        const std::size_t frame_size = std::size_t{static_cast<std::uint16_t>(byte(2) | byte(3) << 8)} + FRAME_OVERHEAD;
        if (frame_size <= kPortBufferSize && held_ + chunk.size() < frame_size) {
            keep_held(0, chunk, frame_size);
            return 0;
        }
    }
    if (held_ >= kFrameHeaderSize) {
        // The usual case: the chunk brings the rest of the held frame, whose
        // size is known (scan runs only when the chunk holds that much).
        // It is decided and decoded where its bytes lie.
        const std::size_t take = needed_ - held_;
        const Verdict verdict = judge(buffer_[start_ + 1u], chunk[take - 1]);
        if (verdict == Verdict::upload) {
            const SplitPayload payload(pending_bytes().subspan(kFrameHeaderSize), chunk.data(), needed_ - FRAME_OVERHEAD);
            frames += sink(payload) ? 1u : 0u;
        }
        if (verdict != Verdict::step) {
            held_ = 0;
            chunk = chunk.subspan(take);
        }
        from = 1;
    }
    if (held_ != 0) {
        // Heads among the held bytes may be decided by bytes of the chunk.
        const std::size_t held = held_;
        const Stop stop = decide_held_heads(pending_bytes(), chunk, from, sink);
        frames += stop.frames;
        if (stop.needed != 0) {
            keep_held(stop.at, chunk, stop.needed);
            return frames;
        }
        from = stop.at - held;
    } else {
        from = 0;
    }
    // Then the chunk in place; only an undecided tail is copied.
    const Stop stop = decide_heads(chunk, from, chunk.size(), sink);
    keep_only(chunk.subspan(stop.needed != 0 ? stop.at : chunk.size()), stop.needed);
    return frames + stop.frames;
}

}  // namespace vandry
