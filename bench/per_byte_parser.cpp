#include "per_byte_parser.h"

#include <cstring>

#include "byte_ops.h"

namespace vandry_bench {

bool PerByteParser::feed(const std::uint8_t* data, std::size_t len, channel_values* channels, channel_banks* banks) {
    bool decoded = false;
    for (std::size_t i = 0; i < len; ++i) {
        decoded |= step(data[i], channels, banks);
        while (replay_from_ < VANDRY_PORT_BUFFER_SIZE) {
            decoded |= step(replay_[replay_from_++], channels, banks);
        }
    }
    return decoded;
}

bool PerByteParser::step(std::uint8_t byte, channel_values* channels, channel_banks* banks) {
    switch (state_) {
        case kHead:
            if (byte == VANDRY_FRAME_HEAD) {
                frame_[0] = byte;
                held_ = 1;
                state_ = kCommand;
            }
            return false;
        case kCommand:
            frame_[held_++] = byte;
            state_ = kLengthLow;
            return false;
        case kLengthLow:
            frame_[held_++] = byte;
            state_ = kLengthHigh;
            return false;
        case kLengthHigh:
            frame_[held_++] = byte;
            frame_size_ = (frame_[2] | std::size_t{byte} << 8) + VANDRY_FRAME_OVERHEAD;
            if (frame_size_ > VANDRY_PORT_BUFFER_SIZE) {
                reject();
            } else {
                state_ = kPayload;
            }
            return false;
        case kPayload:
            frame_[held_++] = byte;
            return held_ == frame_size_ ? finish(channels, banks) : false;
    }
    return false;
}

bool PerByteParser::finish(channel_values* channels, channel_banks* banks) {
    const std::uint8_t command = frame_[1];
    if (frame_[held_ - 1] != VANDRY_FRAME_TAIL || (command != VANDRY_CMD_UPLOAD_DATA && command != VANDRY_CMD_REQUEST_UPLOAD)) {
        reject();
        return false;
    }
    held_ = 0;
    state_ = kHead;
    if (command != VANDRY_CMD_UPLOAD_DATA) {
        return false;
    }
    const std::size_t length = frame_size_ - VANDRY_FRAME_OVERHEAD;
    const std::uint8_t type = frame_[4];
    const std::size_t needs[] = {31, 65, 95};
    if (length == 0 || (type <= VANDRY_PAYLOAD_BOTH && length < needs[type])) {
        return false;
    }
    const std::uint8_t* values = frame_ + 5;
    if ((type == VANDRY_PAYLOAD_CHANNELS || type == VANDRY_PAYLOAD_BOTH) && channels != nullptr) {
        std::memcpy(channels, values, sizeof *channels);
    }
    if (type == VANDRY_PAYLOAD_BOTH) values += sizeof(channel_values);
    if ((type == VANDRY_PAYLOAD_BANKS || type == VANDRY_PAYLOAD_BOTH) && banks != nullptr) {
        std::memcpy(banks, values, sizeof *banks);
    }
    return true;
}

// Gives up the held head and feeds the bytes behind it again, ahead of any
// bytes still waiting to be fed again. Held and waiting bytes together never
// exceed one frame, so they fit the replay buffer.
void PerByteParser::reject() {
    const std::size_t count = held_ - 1;
    replay_from_ -= count;
    vandry::copy_bytes_out_of_line(replay_ + replay_from_, frame_ + 1, count);  // two arrays: no overlap
    held_ = 0;
    state_ = kHead;
}

}  // namespace vandry_bench

namespace {
vandry_bench::PerByteParser process_parser;
}

extern "C" std::uint8_t per_byte_parse_port_data(const std::uint8_t* data, std::uint8_t len, channel_values* channels,
                                                 channel_banks* banks) {
    return data != nullptr && process_parser.feed(data, len, channels, banks) ? 1 : 0;
}

extern "C" std::uint8_t empty_parse_port_data(const std::uint8_t*, std::uint8_t, channel_values*, channel_banks*) {
    return 0;
}
