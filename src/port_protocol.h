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
// the decoder read what was just stored, and wait for it.
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
        // All N bytes from the buffer, where the frame has room: the held
        // ones, then stale ones, which the chunk's part then replaces. Two
        // moves of known size and one of a size that varies, rather than two.
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
    static_assert(PAYLOAD_CHANNELS == 0 && PAYLOAD_BANKS == 1 && PAYLOAD_BOTH == 2, "the known types are 0 to 2");
    const std::uint8_t type = payload[0];
    if (type > PAYLOAD_BOTH) {
        return;
    }
    if (type != PAYLOAD_BANKS && channels != nullptr) {
        copy_le16_values<CHANNEL_VALUE_COUNT>(channels->channel, payload, 1);
    }
    if (type != PAYLOAD_CHANNELS && banks != nullptr) {
        copy_le16_values<CHANNEL_BANK_COUNT * CHANNEL_BANK_SIZE>(&banks->bank[0][0], payload,
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

// What the parser hands every accepted upload-data payload to: this one
// decodes it straight into the host's records.
struct RecordSink {
    channel_values* channels;
    channel_banks* banks;
    template <typename Payload>
    [[gnu::always_inline]] void deliver(const Payload& payload) const {
        write_records(payload, channels, banks);
    }
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

// The heads in data[at, at + kByteMaskWidth) that need a closer look, with
// the bytes data[0, size) at hand (at least three behind the window, for the
// last head's header). A head whose length can never fit is decided at once;
// so is one whose command makes its frame never be consumed, once its frame
// is surely in. Hostile streams are full of both, and they are passed over
// a window at a time, without a branch each.
inline unsigned heads_to_decide(const std::uint8_t* data, std::size_t at, std::size_t size) {
    static_assert(kPortBufferSize - FRAME_OVERHEAD < 2 * 256, "a length that fits has a high byte of 0 or 1");
    constexpr std::size_t kLongest = kPortBufferSize - FRAME_OVERHEAD;  // the longest length that fits
    const ByteBlock head(data + at);
    const ByteBlock command(data + at + 1);
    const ByteBlock length_low(data + at + 2);
    const ByteBlock length_high(data + at + 3);
    const unsigned high0 = length_high.equal(0);
    const unsigned high1 = length_high.equal(1);
    const unsigned fits = high0 | (high1 & length_low.at_most(kLongest & 0xFF));
    // Lengths whose frame is in for every head of the window, low byte at most `longest`.
    const auto low_at_most = [&](std::ptrdiff_t longest) {
        return longest < 0 ? 0u : longest > 0xFF ? low_bits(kByteMaskWidth) : length_low.at_most(static_cast<std::uint8_t>(longest));
    };
    const auto room = static_cast<std::ptrdiff_t>(size - at - (kByteMaskWidth - 1) - FRAME_OVERHEAD);
    const unsigned in = (high0 & low_at_most(room)) | (high1 & low_at_most(room - 0x100));
    const unsigned consumable = command.equal(CMD_UPLOAD_DATA) | command.equal(CMD_REQUEST_UPLOAD);
    return head.equal(FRAME_HEAD) & fits & (consumable | ~in);
}

template <typename Sink, typename Payload>
[[gnu::always_inline]] inline bool deliver_if_accepted(const Sink& sink, const Payload& payload) {
    if (!payload_accepted(payload)) {
        return false;
    }
    sink.deliver(payload);
    return true;
}

// The upload-data frames a scan expects next: a device sends frames of one
// size and payload type back to back. Each of them is checked where it must
// lie, in a few compares that do not wait for its length to say where the
// next one starts, and is accepted as the one before was.
class Alike {
public:
    Alike() = default;  // expects nothing
    Alike(std::size_t frame_size, std::uint8_t type) : size_(frame_size), type_(type) {
        const std::size_t length = frame_size - FRAME_OVERHEAD;
        const std::uint8_t header[kFrameHeaderSize] = {FRAME_HEAD, CMD_UPLOAD_DATA, static_cast<std::uint8_t>(length),
                                                       static_cast<std::uint8_t>(length >> 8)};
        header_ = load_u32(header);
    }

    // The frame at `at`, if it is one more like the last, with `available`
    // bytes from it in.
    bool at(const std::uint8_t* frame, std::size_t available) const {
        return size_ <= available && load_u32(frame) == header_ && frame[kFrameHeaderSize] == type_ &&
               frame[size_ - 1] == FRAME_TAIL;
    }
    std::size_t size() const { return size_; }

private:
    std::size_t size_ = ~std::size_t{0};
    std::uint32_t header_ = 0;
    std::uint8_t type_ = 0;
};

// Decides the heads in data[p, heads_end), in stream order, with the bytes
// data[0, size) at hand, until one cannot be decided yet (the returned stop)
// or none is left (a frame consumed whole may leave p beyond heads_end).
template <typename Sink>
[[gnu::noinline]] Stop decide_heads(const std::uint8_t* data, std::size_t size, std::size_t p, std::size_t heads_end,
                                    Alike alike, Sink sink) {
    std::size_t frames = 0;
    for (;;) {
        for (; alike.at(data + p, size - p); p += alike.size()) {
            sink.deliver(WholePayload({data + p + kFrameHeaderSize, alike.size() - FRAME_OVERHEAD}));
            ++frames;
        }
        if (p >= heads_end) {
            return {p, 0, frames};
        }
        // The heads of a window at once: in a hostile stream they lie a few
        // bytes apart, at random, and a branch per byte would guess wrong.
        const unsigned heads_in_window = size - p >= kByteMaskWidth + kFrameHeaderSize - 1
                                             ? heads_to_decide(data, p, size)
                                             : byte_mask(data, p, size, FRAME_HEAD);
        unsigned heads = heads_in_window & low_bits(heads_end - p);
        std::size_t next = heads_end - p > kByteMaskWidth ? p + kByteMaskWidth : heads_end;
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
                const WholePayload payload({data + head + kFrameHeaderSize, frame_size - FRAME_OVERHEAD});
                if (command == CMD_UPLOAD_DATA && deliver_if_accepted(sink, payload)) {
                    ++frames;
                    alike = Alike(frame_size, payload[0]);
                }
                next = head + frame_size;
                break;
            }
        }
        p = next;
    }
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
// is decided and decoded where its bytes lie (partly held, partly in the
// chunk), the rest of the chunk is scanned in place, and only an undecided
// tail is kept, so a false head costs a few reads instead of a rescan.
//
// A zeroed object is a fresh parser: the C library keeps one in storage that
// its caller owns.
class PortStream {
public:
    constexpr PortStream() = default;

    // Takes the whole chunk and calls sink.deliver(payload) for every
    // accepted upload-data frame in stream order; returns how many.
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

template <typename Sink>
inline std::size_t PortStream::scan(std::span<const std::uint8_t> chunk, Sink sink) {
    using namespace stream_detail;
    std::size_t frames = 0;
    std::size_t p = 0;  // the chunk's first byte left to scan
    Alike alike;
    if (held_ != 0) {
        const Held held = held_ < kFrameHeaderSize ? complete_header(chunk) : Held::framed;
        if (held == Held::waiting) {
            return 0;
        }
        // The usual case: the chunk brings the rest of the held frame, whose
        // size is known. It is decided and decoded where its bytes lie.
        const std::size_t take = needed_ - held_;
        const std::uint8_t command = buffer_[start_ + 1u];
        if (held == Held::framed && consumed_whole(command, chunk[take - 1])) {
            const SplitPayload payload(buffer_.data() + start_ + kFrameHeaderSize, held_ - kFrameHeaderSize,
                                       chunk.data(), needed_ - FRAME_OVERHEAD);
            if (command == CMD_UPLOAD_DATA && deliver_if_accepted(sink, payload)) {
                ++frames;
                alike = Alike(needed_, payload[0]);
            }
            p = take;
        } else {
            const Resume resume = decide_held_heads(chunk, sink);
            if (resume.from == npos) {
                return resume.frames;
            }
            frames = resume.frames;
            p = resume.from;
        }
    }
    // Then the chunk in place. In a normal stream every head lies right
    // behind a frame, and most frames are like the last one: only what is
    // left after them needs a general scan.
    const std::uint8_t* data = chunk.data();
    const std::size_t size = chunk.size();
    Stop stop{size, 0, 0};
    while (p < size) {
        if (alike.at(data + p, size - p)) {
            sink.deliver(WholePayload({data + p + kFrameHeaderSize, alike.size() - FRAME_OVERHEAD}));
            ++frames;
            p += alike.size();
            continue;
        }
        const std::size_t left = size - p;
        const std::size_t frame_size = left >= kFrameHeaderSize ? frame_size_at(data + p) : kFrameHeaderSize;
        if (data[p] != FRAME_HEAD || frame_size > kPortBufferSize) {
            stop = decide_heads(data, size, p, size, alike, sink);
            break;
        }
        if (frame_size > left) {
            stop = {p, frame_size, 0};
            break;
        }
        if (!consumed_whole(data[p + 1], data[p + frame_size - 1])) {
            stop = decide_heads(data, size, p, size, Alike(), sink);
            break;
        }
        const WholePayload payload({data + p + kFrameHeaderSize, frame_size - FRAME_OVERHEAD});
        alike = Alike();
        if (data[p + 1] == CMD_UPLOAD_DATA && deliver_if_accepted(sink, payload)) {
            ++frames;
            alike = Alike(frame_size, payload[0]);
        }
        p += frame_size;
    }
    keep_only(chunk.subspan(stop.needed != 0 ? stop.at : size), stop.needed);
    return frames + stop.frames;
}

// The held head turned out false. The heads behind it among the held bytes
// may be decided by bytes of the chunk, and their frames may reach into it:
// held bytes and chunk are joined in one sequence first, as far as such a
// frame can reach. Rarer than the rest: out of line.
template <typename Sink>
PortStream::Resume PortStream::decide_held_heads(std::span<const std::uint8_t> chunk, Sink sink) {
    using namespace stream_detail;
    const std::size_t held = held_;
    const std::uint8_t* head = buffer_.data() + start_;
    Stop stop;
    if (chunk.empty()) {
        stop = decide_heads(head, held, 1, held, Alike(), sink);
    } else {
        std::uint8_t joined[2 * kPortBufferSize];
        const std::size_t reach = chunk.size() < kPortBufferSize ? chunk.size() : kPortBufferSize;
        copy_bytes_out_of_line(joined, head, held);
        copy_bytes_out_of_line(joined + held, chunk.data(), reach);
        stop = decide_heads(joined, held + reach, 1, held, Alike(), sink);
    }
    if (stop.needed != 0) {
        keep_held(stop.at, chunk, stop.needed);
        return {npos, stop.frames};
    }
    return {stop.at - held, stop.frames};
}

}  // namespace vandry
