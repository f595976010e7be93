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
    copy_bytes_out_of_line(buffer_.data() + start_ + held_, chunk.data(), chunk.size());
    held_ = static_cast<std::uint16_t>(held_ + chunk.size());
    needed_ = static_cast<std::uint16_t>(needed);
}


}  // namespace vandry
