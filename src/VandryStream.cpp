// The VandryStream exports: the port parser in storage that the caller owns,
// with a callback for every accepted upload-data frame.
#include "VandryStream.h"

#include "port_protocol.h"

namespace {

static_assert(sizeof(vandry::PortStream) <= sizeof(vandry_stream::opaque_), "the parser outgrew vandry_stream");
static_assert(alignof(vandry::PortStream) <= alignof(vandry_stream), "vandry_stream is aligned too loosely");

vandry::PortStream& parser_of(vandry_stream* stream) {
    return *reinterpret_cast<vandry::PortStream*>(stream->opaque_.bytes);
}
const vandry::PortStream& parser_of(const vandry_stream* stream) {
    return *reinterpret_cast<const vandry::PortStream*>(stream->opaque_.bytes);
}

// Decodes each accepted frame into records on its own stack and hands them
// to the caller's function; with no function, frames are only counted.
class FrameCallback {
public:
    static constexpr bool kKeepsLatestOnly = false;  // the caller sees every frame

    FrameCallback(vandry_frame_fn on_frame, void* user) : on_frame_(on_frame), user_(user) {}

    // Takes an accepted upload-data payload.
    template <typename Payload>
    void deliver(const Payload& payload) const {
        // The scan accepted the payload before an earlier frame's callback
        // ran, and that callback may have rewritten the caller's data (it is
        // const only to us): what its type needs is checked where it is read.
        if (on_frame_ == nullptr || !vandry::payload_accepted(payload)) {
            return;
        }
        channel_values channels;
        channel_banks banks;
        vandry::write_records(payload, &channels, &banks);
        const std::uint8_t type = payload[0];
        const vandry_frame frame = {type, vandry::fills_channels(type) ? &channels : nullptr,
                                    vandry::fills_banks(type) ? &banks : nullptr};
        on_frame_(user_, &frame);
    }

private:
    vandry_frame_fn on_frame_;
    void* user_;
};

// Out of line, so that a call that only appends to the held frame is a leaf.
[[gnu::noinline]] size_t scan(vandry::PortStream& parser, std::span<const std::uint8_t> chunk, FrameCallback sink) {
    return parser.scan(chunk, sink);
}

void reset(vandry_stream* stream) {
    if (stream != nullptr) {
        parser_of(stream).reset();
    }
}

}  // namespace

extern "C" {

VANDRY_STREAM_API void vandry_stream_init(vandry_stream* stream) { reset(stream); }

VANDRY_STREAM_API void vandry_stream_reset(vandry_stream* stream) { reset(stream); }

VANDRY_STREAM_API size_t vandry_stream_feed(vandry_stream* stream, const uint8_t* data, size_t len,
                                            vandry_frame_fn on_frame, void* user) {
    // No buffer holds more than PTRDIFF_MAX bytes: a larger len is a negative
    // count converted (a failed read's -1), refused as null data is.
    if (stream == nullptr || data == nullptr || len > static_cast<size_t>(PTRDIFF_MAX)) {
        return 0;
    }
    vandry::PortStream& parser = parser_of(stream);
    if (!parser.sound()) {
        parser.reset();
    }
    if (parser.hold_if_undecided({data, len})) {
        return 0;
    }
    return scan(parser, {data, len}, FrameCallback(on_frame, user));
}

VANDRY_STREAM_API size_t vandry_stream_pending(const vandry_stream* stream) {
    // Storage that was never initialised is a fresh stream to feed, so it
    // holds nothing here either.
    return stream != nullptr && parser_of(stream).sound() ? parser_of(stream).pending() : 0;
}

}  // extern "C"
