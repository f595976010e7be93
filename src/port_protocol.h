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

// An upload payload in one piece.
class WholePayload {
public:
    explicit WholePayload(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t size() const { return bytes_.size(); }
    std::uint8_t operator[](std::size_t i) const { return bytes_[i]; }
    // Copies bytes [from, from + N) to dst, N known when compiling: a fixed
    // run of block moves.
    template <std::size_t N>
    [[gnu::always_inline]] void copy(std::uint8_t* dst, std::size_t from) const {
        copy_fixed<N>(dst, bytes_.data() + from);
    }

private:
    std::span<const std::uint8_t> bytes_;
};

// An upload payload that a chunk completes: its first bytes are held in the
// parser's buffer, the rest lie at the start of the chunk. It is read where
// it lies: copying the chunk's part behind the held bytes first would make
// the decoder read what was just stored, and wait for it. A payload that
// lies whole in one place is the case with every byte "held" and no rest
// (payload_at), so that one decoder serves both.
class SplitPayload {
public:
    // The buffer keeps room for the whole frame, so `size` bytes can be read
    // from `held` on; the first held_size of them are the payload's.
    SplitPayload(const std::uint8_t* held, std::size_t held_size, const std::uint8_t* rest, std::size_t size)
        : held_(held), held_size_(held_size), rest_(rest), size_(size) {}

    std::size_t size() const { return size_; }
    std::uint8_t operator[](std::size_t i) const { return i < held_size_ ? held_[i] : rest_[i - held_size_]; }
    template <std::size_t N>
    [[gnu::always_inline]] void copy(std::uint8_t* dst, std::size_t from) const {
        if (from >= held_size_) {
            copy_fixed<N>(dst, rest_ + (from - held_size_));
            return;
        }
        // All N bytes from the buffer, which has room for the whole frame:
        // the held ones and stale ones behind them, which the chunk's part
        // then replaces. One move of a known size and one of a size that
        // varies, rather than two that vary.
        copy_fixed<N>(dst, held_ + from);
        if (from + N > held_size_) {
            copy_bytes(dst + (held_size_ - from), rest_, from + N - held_size_);
        }
    }

private:
    const std::uint8_t* held_;
    std::size_t held_size_;
    const std::uint8_t* rest_;
    std::size_t size_;
};

// Little-endian values land in the host's uint16_t records; on a
// little-endian host that is a plain copy.
template <std::size_t Count, typename Payload>
[[gnu::always_inline]] inline void copy_le16_values(std::uint16_t* out, const Payload& payload, std::size_t from) {
    if constexpr (std::endian::native == std::endian::little) {
        payload.template copy<2 * Count>(reinterpret_cast<std::uint8_t*>(out), from);
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

// Writes an accepted upload-data payload into whichever records its type
// fills and that are not null; an unknown type writes nothing.
template <typename Payload>
[[gnu::always_inline]] inline void write_records(const Payload& payload, channel_values* channels,
                                                 channel_banks* banks) {
    const std::uint8_t type = payload[0];
    // The records this type fills, chosen without a branch each.
    channel_values* const to_channels = fills_channels(type) ? channels : nullptr;
    channel_banks* const to_banks = fills_banks(type) ? banks : nullptr;
    if (to_channels != nullptr) {
        copy_le16_values<CHANNEL_VALUE_COUNT>(to_channels->channel, payload, 1);
    }
    if (to_banks != nullptr) {
        copy_le16_values<CHANNEL_BANK_COUNT * CHANNEL_BANK_SIZE>(&to_banks->bank[0][0], payload,
                                                                 type == PAYLOAD_BOTH ? 1 + 2 * CHANNEL_VALUE_COUNT : 1);
    }
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
    write_records(payload, channels, banks);
    return true;
}

inline bool decode_e5_func(std::span<const std::uint8_t> payload, channel_values* channels, channel_banks* banks) {
    return decode_payload(WholePayload(payload), channels, banks);
}

// What the parser hands accepted upload-data payloads to: this one decodes
// them straight into the host's records, so of a run of frames that fill the
// same records only the last needs to reach it.
struct RecordSink {
    static constexpr bool kKeepsLatestOnly = true;  // each frame overwrites what the one before wrote
    channel_values* channels;
    channel_banks* banks;
    template <typename Payload>
    [[gnu::always_inline]] void deliver(const Payload& payload) const {
        write_records(payload, channels, banks);
    }
};

// ---- the stream parser ------------------------------------------------------

namespace stream_detail {

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

// A head that is not false: its frame is in and consumed whole, or it cannot
// be decided yet, `frame_size` bytes deciding it. With frame_size 0, no such
// head lies before `at`.
struct Head {
    std::size_t at;
    std::size_t frame_size;
    bool complete;
};

// The first head in data[p, heads_end) that is not false, with the bytes
// data[0, size) at hand; false heads on the way are passed over. The same
// for both libraries and every sink: out of line.
Head next_head(const std::uint8_t* data, std::size_t size, std::size_t p, std::size_t heads_end);

// The frames a scan expects next: a device sends frames of one size and
// payload type back to back. Each of them is checked where it must lie, in
// a few compares that do not wait for its length to say where the next one
// starts, and is consumed as the one before was.
class Alike {
public:
    // Like a frame that was consumed whole, whose four header bytes read as
    // `header`, of `frame_size` bytes, whose payload begins with `type` (the
    // tail, for an empty payload).
    Alike(std::uint32_t header, std::size_t frame_size, std::uint8_t type)
        : size_(frame_size), header_(header), type_(type) {}

    // Whether the frame at `frame`, with `available` bytes from it in, is
    // one more like the last.
    bool at(const std::uint8_t* frame, std::size_t available) const {
        return size_ <= available && load_u32(frame) == header_ && frame[kFrameHeaderSize] == type_ &&
               frame[size_ - 1] == FRAME_TAIL;
    }

private:
    std::size_t size_;
    std::uint32_t header_;
    std::uint8_t type_;
};

// The payload of a frame that lies whole at `frame`, read as the decoder
// reads a split one, so that one decoder serves both.
inline SplitPayload payload_at(const std::uint8_t* frame, std::size_t frame_size) {
    return SplitPayload(frame + kFrameHeaderSize, frame_size - FRAME_OVERHEAD, nullptr, frame_size - FRAME_OVERHEAD);
}

// Consumes a run of frames: one consumed whole, with its header at `head`
// and its payload `first`, then every frame like it from data[p] on. Returns
// where the run ends, and counts its frames into `frames` if they are
// delivered. A sink that keeps only the latest values gets only the last:
// the ones before it fill the same records, and the first, when it is split
// and costs most to decode, is mostly overwritten by a whole one behind it.
// Any other sink gets every frame.
template <typename Sink>
[[gnu::always_inline]] inline std::size_t consume_run(const std::uint8_t* head, const SplitPayload& first,
                                                      std::span<const std::uint8_t> chunk, std::size_t p, Sink sink,
                                                      std::size_t& frames) {
    const std::size_t frame_size = first.size() + FRAME_OVERHEAD;
    const Alike alike(load_u32(head), frame_size, first.size() != 0 ? first[0] : FRAME_TAIL);
    const std::uint8_t* const data = chunk.data();
    std::size_t count = 1;
    while (alike.at(data + p, chunk.size() - p)) {
        p += frame_size;
        ++count;
    }
    if (head[1] != CMD_UPLOAD_DATA || !payload_accepted(first)) {
        return p;
    }
    frames += count;
    if constexpr (Sink::kKeepsLatestOnly) {
        sink.deliver(count == 1 ? first : payload_at(data + p - frame_size, frame_size));
    } else {
        sink.deliver(first);
        for (std::size_t at = p - (count - 1) * frame_size; at < p; at += frame_size) {
            sink.deliver(payload_at(data + at, frame_size));
        }
    }
    return p;
}

}  // namespace stream_detail

// Reassembles the port's byte stream into frames. Every frame is decided as
// soon as its bytes are in, so what a call decodes depends only on the
// stream, never on how it was cut into chunks.
//
// Only the earliest undecided head matters: its decision may consume the
// bytes behind it. The parser keeps the bytes from that head on (always
// fewer than kPortBufferSize) and how many it needs to decide it. A chunk
// that does not reach that count is only appended. Otherwise the held frame
// is decided where its bytes lie (partly held, partly in the chunk) and
// decoded there unless a frame behind it overwrites what it would write, the
// rest of the chunk is scanned in place, and only an undecided tail is kept,
// so a false head costs a few reads instead of a rescan.
//
// A zeroed object is a fresh parser: the C library keeps one in storage that
// its caller owns.
class PortStream {
public:
    constexpr PortStream() = default;

    // Takes the whole chunk and hands the sink its accepted upload-data
    // frames in stream order: every one, or for a sink that keeps only the
    // latest values the last of each run of alike frames (consume_run).
    // Returns how many frames were accepted, all of them counted.
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
    // What the bytes of a chunk say about the held head.
    enum class Held {
        waiting,     // nothing yet: the chunk was appended
        framed,      // its frame's size is known, and the chunk brings the rest
        false_head,  // a length that can never fit
    };
    // Where the scan of the chunk goes on after the held bytes, or npos
    // when the parser holds the rest.
    struct Resume {
        std::size_t from;
        std::size_t frames;
    };
    static constexpr std::size_t npos = ~std::size_t{0};

    [[gnu::noinline]] Held complete_header(std::span<const std::uint8_t>& chunk);
    template <typename Sink>
    [[gnu::noinline]] Resume decide_held_heads(std::span<const std::uint8_t> chunk, Sink sink);

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
    // Keeps the `count` held bytes at buffer_[from], then the chunk, for a
    // head that `needed` bytes decide. The offsets come from the caller,
    // taken before any frame was delivered: a callback that resets or feeds
    // its own stream changes the members, never where this writes.
    void keep_held(std::size_t from, std::size_t count, std::span<const std::uint8_t> chunk, std::size_t needed);
    // Keeps only the chunk's bytes from `at` on (none, or a head that
    // `needed` bytes decide). The usual tail, the start of a frame that is
    // not too long, from a chunk of kTailWindow bytes or more, is kept by
    // copying the chunk's last kTailWindow bytes whole: a copy of one size,
    // with no branch on the tail's length, which changes from call to call.
    // start_ then lies below kTailWindow, and a frame of at most
    // kPortBufferSize - kTailWindow bytes still fits behind it.
    void keep_tail(std::span<const std::uint8_t> chunk, std::size_t at, std::size_t needed) {
        const std::size_t size = chunk.size();
        const std::size_t tail = size - at;
        if (size >= kTailWindow && tail <= kTailWindow && needed <= kPortBufferSize - kTailWindow) {
            copy_fixed<kTailWindow>(buffer_.data(), chunk.data() + size - kTailWindow);
            start_ = static_cast<std::uint16_t>(kTailWindow - tail);
        } else {
            copy_bytes(buffer_.data(), chunk.data() + at, tail);
            start_ = 0;
        }
        held_ = static_cast<std::uint16_t>(tail);
        needed_ = static_cast<std::uint16_t>(needed);
    }
    static constexpr std::size_t kTailWindow = 64;

    // Held bytes: buffer_[start_, start_ + held_), beginning with the
    // earliest undecided head; needed_ bytes decide it, and that many fit
    // behind start_. All three are 0 when nothing is held.
    std::array<std::uint8_t, kPortBufferSize> buffer_{};
    std::uint16_t start_ = 0;
    std::uint16_t held_ = 0;
    std::uint16_t needed_ = 0;
};

template <typename Sink>
inline std::size_t PortStream::scan(std::span<const std::uint8_t> chunk, Sink sink) {
    using namespace stream_detail;
    std::size_t frames = 0;
    std::size_t p = 0;  // the chunk's first byte left to scan
    // A frame consumed whole that begins a run, not yet consumed: its
    // header, its payload, and where it ends in the chunk.
    const std::uint8_t* run_head = nullptr;
    SplitPayload run_payload(nullptr, 0, nullptr, 0);
    std::size_t run_end = 0;
    if (held_ != 0) {
        const Held held = held_ < kFrameHeaderSize ? complete_header(chunk) : Held::framed;
        if (held == Held::waiting) {
            return 0;
        }
        // The usual case: the chunk brings the rest of the held frame, whose
        // size is known. It is decided and decoded where its bytes lie.
        const std::size_t take = needed_ - held_;
        if (held == Held::framed && consumed_whole(buffer_[start_ + 1u], chunk[take - 1])) {
            run_head = buffer_.data() + start_;
            run_payload = SplitPayload(run_head + kFrameHeaderSize, held_ - kFrameHeaderSize, chunk.data(),
                                       needed_ - FRAME_OVERHEAD);
            run_end = take;
        } else {
            const Resume resume = decide_held_heads(chunk, sink);
            if (resume.from == npos) {
                return resume.frames;
            }
            frames = resume.frames;
            p = resume.from;
        }
    }
    // Then the chunk in place. In a normal stream each head lies right behind
    // a frame, and most frames are like the one before.
    const std::uint8_t* data = chunk.data();
    const std::size_t size = chunk.size();
    Head undecided{size, 0, false};  // none, unless the loop meets one
    for (;;) {
        if (run_head != nullptr) {
            p = consume_run(run_head, run_payload, chunk, run_end, sink, frames);
        }
        if (p >= size) {
            break;
        }
        const std::size_t left = size - p;
        const std::size_t frame_size = left >= kFrameHeaderSize ? frame_size_at(data + p) : kFrameHeaderSize;
        const bool head_here = data[p] == FRAME_HEAD && frame_size <= kPortBufferSize &&
                               (frame_size > left || consumed_whole(data[p + 1], data[p + frame_size - 1]));
        const Head head = head_here ? Head{p, frame_size, frame_size <= left} : next_head(data, size, p, size);
        if (!head.complete) {
            undecided = head;
            break;
        }
        run_head = data + head.at;
        run_payload = payload_at(run_head, head.frame_size);
        run_end = head.at + head.frame_size;
    }
    // Only an undecided tail is copied.
    keep_tail(chunk, undecided.at, undecided.frame_size);
    return frames;
}

// The held head turned out false. The heads behind it among the held bytes
// may be decided by bytes of the chunk, and their frames may reach into it:
// held bytes and chunk are joined in one sequence first, as far as such a
// frame can reach. Rarer than the rest: out of line.
template <typename Sink>
PortStream::Resume PortStream::decide_held_heads(std::span<const std::uint8_t> chunk, Sink sink) {
    using namespace stream_detail;
    const std::size_t held = held_;
    const std::size_t start = start_;
    const std::uint8_t* bytes = buffer_.data() + start;
    std::size_t size = held;
    std::uint8_t joined[2 * kPortBufferSize];
    if (!chunk.empty()) {
        const std::size_t reach = chunk.size() < kPortBufferSize ? chunk.size() : kPortBufferSize;
        copy_bytes_out_of_line(joined, bytes, held);
        copy_bytes_out_of_line(joined + held, chunk.data(), reach);
        bytes = joined;
        size = held + reach;
    }
    std::size_t frames = 0;
    std::size_t p = 1;
    while (p < held) {
        const Head head = next_head(bytes, size, p, held);
        if (!head.complete) {
            if (head.frame_size != 0) {
                keep_held(start + head.at, held - head.at, chunk, head.frame_size);
                return {npos, frames};
            }
            p = held;
            break;
        }
        const SplitPayload payload = payload_at(bytes + head.at, head.frame_size);
        if (bytes[head.at + 1] == CMD_UPLOAD_DATA && payload_accepted(payload)) {
            sink.deliver(payload);
            ++frames;
        }
        p = head.at + head.frame_size;
    }
    return {p - held, frames};
}

}  // namespace vandry
