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

void PortStream::keep_held(std::size_t at, std::span<const std::uint8_t> chunk, std::size_t needed) {
    start_ = static_cast<std::uint16_t>(start_ + at);
    held_ = static_cast<std::uint16_t>(held_ - at);
    make_room(needed);
    append(chunk);
    needed_ = static_cast<std::uint16_t>(needed);
}

void PortStream::keep_only(std::span<const std::uint8_t> bytes, std::size_t needed) {
    copy_bytes(buffer_.data(), bytes.data(), bytes.size());
    start_ = 0;
    held_ = static_cast<std::uint16_t>(bytes.size());
    needed_ = static_cast<std::uint16_t>(needed);
}

namespace stream_detail {

std::span<const std::uint8_t> JoinedBytes::payload(std::size_t at, std::size_t length, std::uint8_t* scratch) const {
    const std::size_t held = held_.size();
    if (at + length <= held) {
        return held_.subspan(at, length);
    }
    if (at >= held) {
        return chunk_.subspan(at - held, length);
    }
    const std::size_t wanted = length < kLongestPayloadRead ? length : kLongestPayloadRead;
    const std::size_t from_held = wanted < held - at ? wanted : held - at;
    copy_bytes(scratch, held_.data() + at, from_held);
    copy_bytes(scratch + from_held, chunk_.data(), wanted - from_held);
    return {scratch, wanted};
}

}  // namespace stream_detail
}  // namespace vandry
