// How the monitor turns the port's bytes into updates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "VandryInterface.h"
#include "VandryStream.h"

namespace vandry_tools {

struct PortRecords {
    channel_values channels{};
    channel_banks banks{};
};

// Every accepted upload frame becomes one update, with its own values.
// parse_port_data cannot promise that: it says only that a call decoded
// something, and a single byte can decide several frames at once (the byte
// that proves a false head wrong releases every frame held up behind it).
// VandryStream hands over each frame in stream order, with its payload type.
class PortFeeder {
public:
    PortFeeder() { vandry_stream_init(&stream_); }
    PortFeeder(const PortFeeder&) = delete;
    PortFeeder& operator=(const PortFeeder&) = delete;

    // Feeds `bytes` in order; after each accepted frame calls
    // on_update(records, payload_type). Once on_update returns false, the
    // frames that follow in these bytes are passed over.
    template <typename OnUpdate>
    void feed(std::span<const std::uint8_t> bytes, OnUpdate&& on_update) {
        Delivery<OnUpdate> delivery{records_, on_update, true};
        vandry_stream_feed(&stream_, bytes.data(), bytes.size(), &Delivery<OnUpdate>::deliver, &delivery);
    }

    const PortRecords& records() const { return records_; }
    PortRecords& records() { return records_; }

    // Drops a half frame from a session that ended, so that it cannot join
    // the bytes of the next one (the protocol has no checksum to catch that).
    void forget_pending_bytes() { vandry_stream_reset(&stream_); }

private:
    template <typename OnUpdate>
    struct Delivery {
        PortRecords& records;
        OnUpdate& on_update;
        bool wanted;

        static void deliver(void* user, const vandry_frame* frame) {
            auto& self = *static_cast<Delivery*>(user);
            if (!self.wanted) return;
            if (frame->channels != nullptr) self.records.channels = *frame->channels;
            if (frame->banks != nullptr) self.records.banks = *frame->banks;
            self.wanted = self.on_update(static_cast<const PortRecords&>(self.records), frame->type);
        }
    };

    vandry_stream stream_;
    PortRecords records_{};
};

}  // namespace vandry_tools
