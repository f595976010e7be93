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
    append(chunk.first(missing));
    chunk = chunk.subspan(missing);
    const std::size_t frame_size = stream_detail::frame_size_at(buffer_.data() + start_);
    if (frame_size > kPortBufferSize) {
        return Held::false_head;
    }
    make_room(frame_size);
    needed_ = static_cast<std::uint16_t>(frame_size);
    if (held_ + chunk.size() < needed_) {
        append(chunk);
        return Held::waiting;
    }
    return Held::framed;
}

void PortStream::keep_held(std::size_t at, std::span<const std::uint8_t> chunk, std::size_t needed) {
    start_ = static_cast<std::uint16_t>(start_ + at);
    held_ = static_cast<std::uint16_t>(held_ - at);
    make_room(needed);
    copy_bytes_out_of_line(buffer_.data() + start_ + held_, chunk.data(), chunk.size());
    held_ = static_cast<std::uint16_t>(held_ + chunk.size());
    needed_ = static_cast<std::uint16_t>(needed);
}


}  // namespace vandry
