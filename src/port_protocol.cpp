#include "port_protocol.h"

namespace vandry {

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

// The chunk completes the held header: its bytes are taken, and the held
// head then waits for its frame, or is a false one.
PortStream::Held PortStream::complete_header(std::span<const std::uint8_t>& chunk) {
    const std::size_t missing = kFrameHeaderSize - held_;
    copy_bytes_out_of_line(buffer_.data() + start_ + held_, chunk.data(), missing);
    held_ = kFrameHeaderSize;
    chunk = chunk.subspan(missing);
    const std::size_t frame_size = stream_detail::frame_size_at(buffer_.data() + start_);
    if (frame_size > kPortBufferSize) {
        return Held::false_head;
    }
    make_room(frame_size);
    needed_ = static_cast<std::uint16_t>(frame_size);
    if (held_ + chunk.size() < needed_) {
        copy_bytes_out_of_line(buffer_.data() + start_ + held_, chunk.data(), chunk.size());
        held_ = static_cast<std::uint16_t>(held_ + chunk.size());
        return Held::waiting;
    }
    return Held::framed;
}

void PortStream::keep_held(std::size_t from, std::size_t count, std::span<const std::uint8_t> chunk,
                           std::size_t needed) {
    start_ = static_cast<std::uint16_t>(from);
    held_ = static_cast<std::uint16_t>(count);
    make_room(needed);
    copy_bytes_out_of_line(buffer_.data() + start_ + held_, chunk.data(), chunk.size());
    held_ = static_cast<std::uint16_t>(held_ + chunk.size());
    needed_ = static_cast<std::uint16_t>(needed);
}

namespace stream_detail {

// Where a frame's tail lies, counted from its head. A length that can never
// fit the buffer takes the head itself for the tail, which it never is: such
// a head is decided at once, as a false one, without a branch of its own
// (whether a false length is possible is random).
static std::size_t tail_offset(std::size_t frame_size) {
    return (frame_size - 1) & (std::size_t{0} - std::size_t{frame_size <= kPortBufferSize});
}

// The heads in data[at, at + kByteMaskWidth) that need a closer look, with
// the bytes data[0, size) at hand (at least three behind the window, for the
// last head's header). A head whose length can never fit is decided at once;
// so is one whose command makes its frame never be consumed, once its frame
// is surely in. Hostile streams are full of both, and they are passed over
// a window at a time, without a branch each.
static unsigned heads_to_decide(const std::uint8_t* data, std::size_t at, std::size_t size) {
    static_assert(kPortBufferSize - FRAME_OVERHEAD < 2 * 256, "a length that fits has a high byte of 0 or 1");
    constexpr std::size_t kLongest = kPortBufferSize - FRAME_OVERHEAD;  // the longest length that fits
    const ByteBlock head(data + at);
    const ByteBlock command(data + at + 1);
    const ByteBlock length_low(data + at + 2);
    const ByteBlock length_high(data + at + 3);
    const unsigned high0 = length_high.equal(0);
    const unsigned high1 = length_high.equal(1);
    const unsigned fits = high0 | (high1 & length_low.at_most(kLongest & 0xFF));
    // Heads whose length has a low byte of at most `longest`.
    const auto low_at_most = [&](std::ptrdiff_t longest) {
        return longest < 0 ? 0u : longest > 0xFF ? low_bits(kByteMaskWidth) : length_low.at_most(static_cast<std::uint8_t>(longest));
    };
    // The longest length whose frame is in for every head of the window.
    const auto room = static_cast<std::ptrdiff_t>(size - at - (kByteMaskWidth - 1) - FRAME_OVERHEAD);
    const unsigned in = (high0 & low_at_most(room)) | (high1 & low_at_most(room - 0x100));
    const unsigned consumable = command.equal(CMD_UPLOAD_DATA) | command.equal(CMD_REQUEST_UPLOAD);
    return head.equal(FRAME_HEAD) & fits & (consumable | ~in);
}

Head next_head(const std::uint8_t* data, std::size_t size, std::size_t p, std::size_t heads_end) {
    for (; p < heads_end; p += kByteMaskWidth) {
        // The heads of a window at once: in a hostile stream they lie a few
        // bytes apart, at random, and a branch per byte would guess wrong.
        const unsigned in_window = size - p >= kByteMaskWidth + kFrameHeaderSize - 1 ? heads_to_decide(data, p, size)
                                                                                     : byte_mask(data, p, size, FRAME_HEAD);
        for (unsigned heads = in_window & low_bits(heads_end - p); heads != 0; heads &= heads - 1) {
            const std::size_t head = p + static_cast<unsigned>(std::countr_zero(heads));
            const std::size_t available = size - head;
            if (available < kFrameHeaderSize) {
                return {head, kFrameHeaderSize, false};
            }
            const std::size_t frame_size = frame_size_at(data + head);
            const std::size_t tail_at = tail_offset(frame_size);
            if (tail_at >= available) {
                return {head, frame_size, false};
            }
            if (consumed_whole(data[head + 1], data[head + tail_at])) {
                return {head, frame_size, true};
            }
        }
    }
    return {heads_end, 0, false};
}

}  // namespace stream_detail

}  // namespace vandry
