// Fuzz target for both libraries. The input is a port stream, fed in a chunk
// plan that its first two bytes choose:
//   - to the parser with the host's records, inside and through
//     parse_port_data, and to a VandryStream through its exports; every call is checked against the reference model
//     (result, records or delivered frames, pending count, guard bytes);
//   - its first bytes also go to the HID decoders and, as 16 values, to the
//     SBUS scaler and both encoders, each checked against a plain model of
//     its layout (the frame is decoded back bit by bit).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "VandryInterface.h"
#include "VandryStream.h"
#include "port_protocol.h"
#include "stream_model.h"

namespace {

using vandry_model::Bytes;

void check(bool holds) {
    if (!holds) __builtin_trap();
}

// A value with guard bytes behind it.
template <typename T>
struct Guarded {
    T value;
    std::uint8_t guard[16];
    explicit Guarded(std::uint8_t fill) {
        std::memset(&value, fill, sizeof value);
        std::memset(guard, 0xC3, sizeof guard);
    }
    bool intact() const {
        for (std::uint8_t b : guard)
            if (b != 0xC3) return false;
        return true;
    }
};

// Chunk sizes from a seed: short, medium, port-sized or, for VandryStream,
// anything up to `largest`.
class ChunkPlan {
public:
    ChunkPlan(std::uint8_t a, std::uint8_t b, std::size_t largest)
        : state_(static_cast<std::uint32_t>(a << 8 | b) | 1u), largest_(largest) {}
    std::size_t next() {
        state_ = state_ * 1103515245u + 12345u;
        const std::uint32_t r = state_ >> 8;
        switch (state_ >> 30) {
            case 0: return 1 + r % 4;
            case 1: return 1 + r % 64;
            case 2: return 1 + r % 255;
            default: return 1 + r % largest_;
        }
    }

private:
    std::uint32_t state_;
    std::size_t largest_;
};

template <typename Feed>
void for_each_chunk(std::span<const std::uint8_t> stream, ChunkPlan plan, Feed feed) {
    for (std::size_t at = 0; at < stream.size();) {
        std::size_t n = plan.next();
        if (n > stream.size() - at) n = stream.size() - at;
        // An exact-size copy, so that any read past the chunk is caught.
        const Bytes chunk(stream.begin() + static_cast<std::ptrdiff_t>(at), stream.begin() + static_cast<std::ptrdiff_t>(at + n));
        feed(chunk);
        at += n;
    }
}

// The process-wide parser behind parse_port_data forgets the input before,
// as a host does after a reconnect: 500 bytes that hold no head decide
// whatever it held, and null records keep anything from changing.
void flush_exported_parser() {
    static const std::uint8_t zeros[250] = {};
    parse_port_data(zeros, sizeof zeros, nullptr, nullptr);
    parse_port_data(zeros, sizeof zeros, nullptr, nullptr);
}

// The parser both inside and through its export, with the same chunks.
void check_parser(std::span<const std::uint8_t> stream, ChunkPlan plan) {
    vandry::PortStream parser;
    vandry_model::StreamModel model;
    Guarded<channel_values> channels(0xEE), exported_channels(0xEE), want_channels(0xEE);
    Guarded<channel_banks> banks(0xEE), exported_banks(0xEE), want_banks(0xEE);
    flush_exported_parser();
    for_each_chunk(stream, plan, [&](const Bytes& chunk) {
        const std::size_t frames = parser.feed(chunk, vandry::RecordSink{&channels.value, &banks.value});
        const std::uint8_t exported = parse_port_data(chunk.data(), static_cast<std::uint8_t>(chunk.size()),
                                                      &exported_channels.value, &exported_banks.value);
        std::size_t want_frames = 0;
        for (std::uint8_t byte : chunk)
            for (const Bytes& payload : model.push(byte)) {
                vandry_model::apply(payload, &want_channels.value, &want_banks.value);
                ++want_frames;
            }
        check(frames == want_frames && exported == (want_frames != 0 ? 1 : 0));
        check(std::memcmp(&channels, &want_channels, sizeof channels) == 0);
        check(std::memcmp(&banks, &want_banks, sizeof banks) == 0);
        check(std::memcmp(&exported_channels, &want_channels, sizeof channels) == 0);
        check(std::memcmp(&exported_banks, &want_banks, sizeof banks) == 0);
        check(parser.pending() == model.pending() && parser.pending() < vandry::kPortBufferSize);
    });
}

// What the stream library delivered during one call.
struct Delivered {
    std::vector<Bytes> frames;  // type byte, then the records' bytes
};

void deliver(void* user, const vandry_frame* frame) {
    Bytes copy{frame->type};
    const auto* channels = reinterpret_cast<const std::uint8_t*>(frame->channels);
    const auto* banks = reinterpret_cast<const std::uint8_t*>(frame->banks);
    if (channels != nullptr) copy.insert(copy.end(), channels, channels + sizeof(channel_values));
    if (banks != nullptr) copy.insert(copy.end(), banks, banks + sizeof(channel_banks));
    static_cast<Delivered*>(user)->frames.push_back(copy);
}

Bytes as_delivered(const Bytes& payload) {
    channel_values channels;
    channel_banks banks;
    vandry_model::apply(payload, &channels, &banks);
    Bytes out{payload[0]};
    const auto* c = reinterpret_cast<const std::uint8_t*>(&channels);
    const auto* b = reinterpret_cast<const std::uint8_t*>(&banks);
    if (payload[0] == 0 || payload[0] == 2) out.insert(out.end(), c, c + sizeof channels);
    if (payload[0] == 1 || payload[0] == 2) out.insert(out.end(), b, b + sizeof banks);
    return out;
}

void check_stream_library(std::span<const std::uint8_t> stream, ChunkPlan plan) {
    Guarded<vandry_stream> state(0x00);  // zeroed: a fresh stream
    vandry_model::StreamModel model;
    for_each_chunk(stream, plan, [&](const Bytes& chunk) {
        Delivered got;
        const std::size_t count = vandry_stream_feed(&state.value, chunk.data(), chunk.size(), deliver, &got);
        std::vector<Bytes> want;
        for (std::uint8_t byte : chunk)
            for (const Bytes& payload : model.push(byte)) want.push_back(as_delivered(payload));
        check(count == want.size() && got.frames == want);
        check(vandry_stream_pending(&state.value) == model.pending());
        check(state.intact());
    });
}

std::uint16_t le16(const std::uint8_t* r, std::size_t at) { return static_cast<std::uint16_t>(r[at] | r[at + 1] << 8); }

void check_game_controller(const Bytes& report) {
    Guarded<game_controller_state> got(0xEE);
    const Guarded<game_controller_state> untouched(0xEE);
    const std::uint8_t result = parse_hid_game_controller_device(&got.value, report.data(), static_cast<std::uint8_t>(report.size()));
    check(got.intact());
    if (report.size() != 19) {
        check(result == 0 && std::memcmp(&got, &untouched, sizeof got) == 0);
        return;
    }
    const std::uint8_t* r = report.data();
    const std::uint16_t want[11] = {
        le16(r, 0), le16(r, 2), le16(r, 4),
        static_cast<std::uint16_t>(r[6] | (r[7] & 0x0F) << 8), static_cast<std::uint16_t>(r[7] >> 4 | r[8] << 8),
        static_cast<std::uint16_t>(r[9] | (r[10] & 0x0F) << 8), static_cast<std::uint16_t>(r[10] >> 4 | r[11] << 8),
        static_cast<std::uint16_t>(r[12] | (r[13] & 0x0F) << 8), static_cast<std::uint16_t>(r[13] >> 4),
        le16(r, 14), r[16]};
    const game_controller_state& s = got.value;
    const std::uint16_t fields[11] = {s.value_0, s.value_1, s.value_2, s.value_3, s.value_4, s.value_5,
                                      s.value_6, s.value_7, s.value_8, s.value_9, s.value_10};
    check(result == 1 && std::memcmp(fields, want, sizeof want) == 0);
}

void check_compatible(const Bytes& report) {
    Guarded<channel_values> got(0xEE);
    const Guarded<channel_values> untouched(0xEE);
    const std::uint8_t result = parse_hid_compatible_device(&got.value, report.data(), static_cast<std::uint8_t>(report.size()));
    check(got.intact());
    if (report.size() != 35 || report[0] != 0xFA) {
        check(result == 0 && std::memcmp(&got, &untouched, sizeof got) == 0);
        return;
    }
    check(result == 1);
    for (std::size_t k = 0; k < 15; ++k) check(got.value.channel[k] == le16(report.data(), 4 + 2 * k));
}

// The 11-bit value k of an SBUS frame, read back bit by bit, lowest first.
unsigned sbus_value(const sbus_frame& frame, std::size_t k) {
    unsigned value = 0;
    for (std::size_t bit = 0; bit < 11; ++bit) {
        const std::size_t i = 11 * k + bit;
        value |= static_cast<unsigned>(frame.bytes[1 + i / 8] >> (i % 8) & 1) << bit;
    }
    return value;
}

void check_sbus(const std::uint8_t* bytes) {
    std::uint16_t values[16];
    for (std::size_t k = 0; k < 16; ++k) values[k] = le16(bytes, 2 * k);

    Guarded<sbus_channels> scaled(0xEE);
    convert_std_sbus_data(&scaled.value, values);
    check(scaled.intact());
    for (std::size_t k = 0; k < 16; ++k) {
        const unsigned want = values[k] * 1706u / 1000u;
        check(scaled.value.channel[k] == (want > 2047 ? 2047 : want));
    }

    static int last_footer = -1;  // the v2 counter is process-wide
    Guarded<sbus_channels> channels(0x00);
    std::memcpy(channels.value.channel, values, sizeof values);
    for (int variant = 1; variant <= 2; ++variant) {
        Guarded<sbus_frame> frame(0x0F);
        (variant == 1 ? encode_sbus_data_v1 : encode_sbus_data_v2)(&frame.value, &channels.value);
        check(frame.intact() && frame.value.bytes[0] == 0x0F && frame.value.bytes[23] == 0x00);
        for (std::size_t k = 0; k < 16; ++k) check(sbus_value(frame.value, k) == (values[k] > 2047 ? 2047u : values[k]));
        const int footer = frame.value.bytes[24];
        if (variant == 1) {
            check(footer == 0x00);
        } else {
            check((footer & 0x0F) == 0x04 && (last_footer < 0 || footer == ((last_footer + 0x10) & 0x3F)));
            last_footer = footer;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::span<const std::uint8_t> stream(data + 2, size - 2);
    check_parser(stream, ChunkPlan(data[0], data[1], 255));
    check_stream_library(stream, ChunkPlan(data[1], data[0], 2000));

    const std::size_t report_size = stream.size() < 255 ? stream.size() : 255;
    check_game_controller(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(report_size)));
    check_compatible(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(report_size)));
    for (std::size_t exact : {std::size_t{19}, std::size_t{35}}) {
        Bytes report(exact, 0);
        std::memcpy(report.data(), stream.data(), report_size < exact ? report_size : exact);
        if (exact == 35 && report_size < 35) report[0] = 0xFA;  // short inputs still reach the decoder
        (exact == 19 ? check_game_controller : check_compatible)(report);
    }
    std::uint8_t sbus_bytes[32] = {};
    std::memcpy(sbus_bytes, stream.data(), report_size < 32 ? report_size : 32);
    check_sbus(sbus_bytes);
    return 0;
}
