// The upload payload decoder and the stream parser, on fresh instances,
// against hand-written scenarios and the reference model.
#include "port_protocol.h"

#include <gtest/gtest.h>

#include <string>

#include "frame_builder.h"
#include "stream_model.h"
#include "stream_test_support.h"

using namespace vandry_test;

namespace {

struct Records {
    Guarded<channel_values> channels;
    Guarded<channel_banks> banks;

    vandry::RecordSink sink() { return {&channels.value, &banks.value}; }
    bool guards_intact() const { return channels.guard_intact() && banks.guard_intact(); }
};

std::vector<std::uint16_t> channels_of(const Records& r) {
    return {std::begin(r.channels.value.channel), std::end(r.channels.value.channel)};
}
std::vector<std::uint16_t> banks_of(const Records& r) {
    const std::uint16_t* first = &r.banks.value.bank[0][0];
    return {first, first + 32};
}
constexpr std::uint16_t kUntouched = 0xEEEE;  // Guarded fills its value with 0xEE
const std::vector<std::uint16_t> kUntouched15(15, kUntouched);
const std::vector<std::uint16_t> kUntouched32(32, kUntouched);

// Payload bytes 1, 2, 3, ... after the type byte; value k of a run starting
// at payload byte b is then (b + 1) << 8 | b, taken from the device's
// layout table rather than from the decoder.
Bytes counting_payload(std::uint8_t type, std::size_t size) {
    Bytes out{type};
    for (std::size_t b = 1; b < size; ++b) out.push_back(static_cast<std::uint8_t>(b));
    return out;
}
std::vector<std::uint16_t> counting_values(std::size_t first_byte, std::size_t count) {
    std::vector<std::uint16_t> out;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t low = first_byte + 2 * k;
        out.push_back(static_cast<std::uint16_t>((low + 1) << 8 | low));
    }
    return out;
}

// ---- the payload decoder --------------------------------------------------

struct DecodeCase {
    std::string name;
    Bytes payload;
    bool give_channels;
    bool give_banks;
    bool accepted;
    std::vector<std::uint16_t> channels;  // expected afterwards
    std::vector<std::uint16_t> banks;
};

TEST(UploadDecoder, FillsExactlyTheRecordsOfItsTypeFromTheRightBytes) {
    const std::vector<DecodeCase> cases = {
        {"channels", counting_payload(0, 31), true, true, true, counting_values(1, 15), kUntouched32},
        {"channels, first values 0x0201 0x0403", counting_payload(0, 31), true, false, true,
         {0x0201, 0x0403, 0x0605, 0x0807, 0x0A09, 0x0C0B, 0x0E0D, 0x100F, 0x1211, 0x1413, 0x1615,
          0x1817, 0x1A19, 0x1C1B, 0x1E1D},
         kUntouched32},
        {"channels, longer payload ignored past 31 bytes", counting_payload(0, 60), true, true, true,
         counting_values(1, 15), kUntouched32},
        {"channels into a null record", counting_payload(0, 31), false, true, true, kUntouched15, kUntouched32},
        {"banks", counting_payload(1, 65), true, true, true, kUntouched15, counting_values(1, 32)},
        {"banks into a null record", counting_payload(1, 65), true, false, true, kUntouched15, kUntouched32},
        {"both", counting_payload(2, 95), true, true, true, counting_values(1, 15), counting_values(31, 32)},
        {"both, channels null", counting_payload(2, 95), false, true, true, kUntouched15, counting_values(31, 32)},
        {"both, banks null", counting_payload(2, 95), true, false, true, counting_values(1, 15), kUntouched32},
        {"unknown type 3", counting_payload(3, 95), true, true, true, kUntouched15, kUntouched32},
        {"unknown type 0xFF", counting_payload(0xFF, 95), true, true, true, kUntouched15, kUntouched32},
        {"unknown type, type byte only", Bytes{7}, true, true, true, kUntouched15, kUntouched32},
        {"empty payload", Bytes{}, true, true, false, kUntouched15, kUntouched32},
        {"channels one byte short", counting_payload(0, 30), true, true, false, kUntouched15, kUntouched32},
        {"banks one byte short", counting_payload(1, 64), true, true, false, kUntouched15, kUntouched32},
        {"both one byte short", counting_payload(2, 94), true, true, false, kUntouched15, kUntouched32},
        {"both with only the channel part", counting_payload(2, 31), true, true, false, kUntouched15,
         kUntouched32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Records r;
        // An exact-size copy, so that a read past the payload is caught by
        // the sanitizers.
        const Bytes payload = c.payload;
        EXPECT_EQ(vandry::decode_e5_func(payload, c.give_channels ? &r.channels.value : nullptr,
                                         c.give_banks ? &r.banks.value : nullptr),
                  c.accepted);
        EXPECT_EQ(channels_of(r), c.channels);
        EXPECT_EQ(banks_of(r), c.banks);
        EXPECT_TRUE(r.guards_intact());
    }
}

// ---- the stream parser: scenarios ------------------------------------------

const std::vector<std::uint16_t> kChannelsA = ramp(15, 1000, 7);
const std::vector<std::uint16_t> kChannelsB = ramp(15, 0x0100, 0x0101);
const std::vector<std::uint16_t> kBanksA = ramp(32, 2000, 3);

Bytes channels_frame(const std::vector<std::uint16_t>& values = kChannelsA) {
    return upload_frame(VANDRY_PAYLOAD_CHANNELS, values);
}
Bytes noise(std::size_t count, std::uint8_t seed = 1) {
    Bytes out;
    for (std::size_t k = 0; k < count; ++k) {
        auto b = static_cast<std::uint8_t>(seed + 37 * k);
        out.push_back(b == VANDRY_FRAME_HEAD || b == VANDRY_FRAME_TAIL ? 0x00 : b);
    }
    return out;
}

// The frame with another payload type byte.
Bytes with_type(Bytes frame, std::uint8_t type) {
    frame[4] = type;
    return frame;
}

struct StreamCase {
    std::string name;
    std::vector<Bytes> chunks;
    std::vector<bool> results;  // one per chunk
    std::size_t pending_at_end;
    std::vector<std::uint16_t> channels;
    std::vector<std::uint16_t> banks;
};

std::vector<StreamCase> stream_cases() {
    const Bytes frame = channels_frame();
    const Bytes both = upload_frame(VANDRY_PAYLOAD_BOTH, [] {
        auto v = kChannelsB;
        v.insert(v.end(), kBanksA.begin(), kBanksA.end());
        return v;
    }());
    // 0xFA as the low byte of the last channel: a head inside a value.
    auto fa_values = kChannelsA;
    fa_values[14] = 0x01FA;
    fa_values[13] = 0x00FA;
    const Bytes fa_inside = channels_frame(fa_values);
    const Bytes long_frame = upload_frame(VANDRY_PAYLOAD_BOTH, ramp(247, 10));  // N = 495: 500 bytes
    const Bytes big_400 = port_frame(VANDRY_CMD_UPLOAD_DATA, counting_payload(0, 400));
    const Bytes tail_96 = port_frame(VANDRY_CMD_UPLOAD_DATA, upload_payload(0, ramp(45, 3)));
    const Bytes noise_then_frame = concat({noise(10), frame});
    const Bytes frame_250 = upload_frame(VANDRY_PAYLOAD_BOTH, ramp(122, 500));
    const Bytes frame_501 = port_frame(VANDRY_CMD_UPLOAD_DATA, Bytes(496, 0x00));
    const Bytes impossible = {VANDRY_FRAME_HEAD, VANDRY_CMD_UPLOAD_DATA, 0xF0, 0x01};  // 501 bytes
    // Claims 36 payload bytes, holds a whole frame in them, then no tail.
    const Bytes false_head_over_frame = concat({Bytes{VANDRY_FRAME_HEAD, VANDRY_CMD_REQUEST_UPLOAD, 36, 0}, frame, Bytes{0x00}});
    // A head whose command byte is 0 and whose length bytes read as an
    // upload-data header one byte on: A5 00 11 00 ...
    const Bytes head_before_command_bytes = concat({Bytes{VANDRY_FRAME_HEAD, 0x00, VANDRY_CMD_UPLOAD_DATA, 0x00, 0x11, 0x00}, noise(170)});

    return {
        {"fresh parser: one byte that is no head leaves nothing", {Bytes{0x00}}, {false}, 0, kUntouched15, kUntouched32},
        {"whole channel frame in one chunk", {frame}, {true}, 0, kChannelsA, kUntouched32},
        {"split after the third byte", {slice(frame, 0, 3), slice(frame, 3, frame.size())}, {false, true}, 0,
         kChannelsA, kUntouched32},
        {"noise, then a frame split inside its payload",
         {slice(noise_then_frame, 0, 30), slice(noise_then_frame, 30, noise_then_frame.size())},
         {false, true}, 0, kChannelsA, kUntouched32},
        {"200 bytes ending in 150 of a frame, then 200 more",
         {concat({noise(50), slice(frame_250, 0, 150)}), concat({slice(frame_250, 150, 250), both})},
         {false, true}, 0, kChannelsB, kBanksA},
        {"400 pending, then 101 bytes: taken, and the completed frames decoded",
         {slice(big_400, 0, 255), slice(big_400, 255, 400), concat({slice(big_400, 400, 405), tail_96})},
         {false, false, true}, 0, ramp(15, 3), kUntouched32},
        {"frame of exactly 500 bytes", {slice(long_frame, 0, 255), slice(long_frame, 255, 500)}, {false, true}, 0,
         ramp(15, 10), ramp(32, 25)},
        {"wrong tail is not decoded", {port_frame(VANDRY_CMD_UPLOAD_DATA, upload_payload(0, kChannelsA), 0x00)}, {false},
         0, kUntouched15, kUntouched32},
        {"wrong tail, then a good frame", {concat({port_frame(VANDRY_CMD_UPLOAD_DATA, upload_payload(0, kChannelsB), 0x00), frame})},
         {true}, 0, kChannelsA, kUntouched32},
        {"false head, wrong tail, then command bytes that look like a header", {head_before_command_bytes}, {false}, 0,
         kUntouched15, kUntouched32},
        {"false head, wrong tail, then head bytes of a whole frame", {false_head_over_frame}, {true}, 0, kChannelsA,
         kUntouched32},
        {"the same, the false head held over from an earlier call",
         {slice(false_head_over_frame, 0, 4), slice(false_head_over_frame, 4, 40), slice(false_head_over_frame, 40, 41)},
         {false, false, true}, 0, kChannelsA, kUntouched32},
        {"request frame from the device is passed over", {port_frame(VANDRY_CMD_REQUEST_UPLOAD, {0xA5, 0x00})}, {false}, 0,
         kUntouched15, kUntouched32},
        {"request frame holding a whole upload frame: passed over whole",
         {port_frame(VANDRY_CMD_REQUEST_UPLOAD, concat({Bytes{1}, frame, Bytes{2}}))}, {false}, 0, kUntouched15, kUntouched32},
        {"stop frame from the device is ignored", {port_frame(VANDRY_CMD_STOP_UPLOAD, {})}, {false}, 0, kUntouched15,
         kUntouched32},
        {"stop frame holding a whole upload frame: its payload is scanned",
         {port_frame(VANDRY_CMD_STOP_UPLOAD, concat({Bytes{1}, frame, Bytes{2}}))}, {true}, 0, kChannelsA, kUntouched32},
        {"unknown command: its payload is scanned for frames",
         {port_frame(0x77, concat({Bytes{1, 2}, frame, Bytes{3}}))}, {true}, 0, kChannelsA, kUntouched32},
        {"unknown payload type sets the flag and writes nothing", {upload_frame(7, kChannelsA)}, {true}, 0,
         kUntouched15, kUntouched32},
        {"too short for its type: nothing written, no flag",
         {port_frame(VANDRY_CMD_UPLOAD_DATA, upload_payload(0, ramp(5, 1)))}, {false}, 0, kUntouched15, kUntouched32},
        {"empty upload frame, then a good one", {concat({port_frame(VANDRY_CMD_UPLOAD_DATA, {}), frame})}, {true}, 0,
         kChannelsA, kUntouched32},
        {"a lone head at the end stays pending", {concat({noise(20), Bytes{VANDRY_FRAME_HEAD}})}, {false}, 1,
         kUntouched15, kUntouched32},
        {"0xFA inside values does not hide the next frame", {concat({fa_inside, channels_frame(kChannelsB)})},
         {true}, 0, kChannelsB, kUntouched32},
        {"false head whose length ends inside the next frame",
         {concat({Bytes{VANDRY_FRAME_HEAD, VANDRY_CMD_UPLOAD_DATA, 20, 0}, frame})}, {true}, 0, kChannelsA, kUntouched32},
        {"false head waits for the bytes that disprove it",
         {concat({Bytes{VANDRY_FRAME_HEAD, VANDRY_CMD_UPLOAD_DATA, 60, 0}, frame}), noise(40)}, {false, true}, 0, kChannelsA,
         kUntouched32},
        {"impossible length is given up at once", {concat({impossible, frame})}, {true}, 0, kChannelsA, kUntouched32},
        {"impossible length ending exactly at the chunk end: nothing pending", {concat({noise(9), impossible})}, {false}, 0,
         kUntouched15, kUntouched32},
        {"impossible length completed by the next chunk: nothing pending", {slice(impossible, 0, 2), slice(impossible, 2, 4)},
         {false, false}, 0, kUntouched15, kUntouched32},
        {"frame of 501 bytes is given up and holds nothing up",
         {slice(frame_501, 0, 255), slice(frame_501, 255, 501), frame}, {false, false, true}, 0, kChannelsA,
         kUntouched32},
        {"several frames in one call: each record holds its latest",
         {concat({channels_frame(kChannelsB), upload_frame(VANDRY_PAYLOAD_BANKS, kBanksA), frame})}, {true}, 0, kChannelsA,
         kBanksA},
        {"empty chunk returns 0", {slice(frame, 0, 10), Bytes{}}, {false, false}, 10, kUntouched15, kUntouched32},
    };
}

TEST(PortParser, Scenarios) {
    for (const auto& c : stream_cases()) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.chunks.size(), c.results.size());
        vandry::PortStream parser;
        vandry_model::StreamModel model;
        Records r;
        Guarded<channel_values> model_channels;
        Guarded<channel_banks> model_banks;
        for (std::size_t k = 0; k < c.chunks.size(); ++k) {
            ASSERT_LE(c.chunks[k].size(), 255u);
            EXPECT_EQ(parser.feed(c.chunks[k], r.sink()) != 0, c.results[k]) << "chunk " << k;
            // The model must agree with every hand-written expectation too.
            bool model_result = false;
            for (std::uint8_t byte : c.chunks[k])
                for (const Bytes& payload : model.push(byte)) {
                    vandry_model::apply(payload, &model_channels.value, &model_banks.value);
                    model_result = true;
                }
            EXPECT_EQ(model_result, c.results[k]) << "model, chunk " << k;
        }
        EXPECT_EQ(parser.pending(), c.pending_at_end);
        EXPECT_EQ(model.pending(), c.pending_at_end);
        EXPECT_EQ(channels_of(r), c.channels);
        EXPECT_EQ(banks_of(r), c.banks);
        EXPECT_TRUE(r.channels.same_value(model_channels.value) && r.banks.same_value(model_banks.value));
        EXPECT_TRUE(r.guards_intact());
    }
}

TEST(PortParser, FreshAndZeroedParsersHoldNothing) {
    const vandry::PortStream fresh;
    EXPECT_EQ(fresh.pending(), 0u);
    EXPECT_TRUE(fresh.pending_bytes().empty());
    // The C library keeps its parsers in zeroed storage of its callers.
    alignas(vandry::PortStream) std::uint8_t storage[sizeof(vandry::PortStream)];
    std::memset(storage, 0, sizeof storage);
    auto& zeroed = *reinterpret_cast<vandry::PortStream*>(storage);
    Records r;
    EXPECT_EQ(zeroed.pending(), 0u);
    EXPECT_EQ(zeroed.feed(channels_frame(), r.sink()), 1u);
    EXPECT_EQ(channels_of(r), kChannelsA);
}

TEST(PortParser, PendingBytesAreTheFrameOwnBytesOnly) {
    const Bytes frame = channels_frame();
    const Bytes stream = concat({noise(10), frame});
    vandry::PortStream parser;
    Records r;
    EXPECT_EQ(parser.feed(slice(stream, 0, 25), r.sink()), 0u);
    const auto pending = parser.pending_bytes();
    EXPECT_EQ(Bytes(pending.begin(), pending.end()), slice(frame, 0, 15));
}

TEST(PortParser, ResetDropsTheHeldFrame) {
    const Bytes frame = channels_frame();
    vandry::PortStream parser;
    Records r;
    EXPECT_EQ(parser.feed(slice(frame, 0, 20), r.sink()), 0u);
    parser.reset();
    EXPECT_EQ(parser.pending(), 0u);
    EXPECT_EQ(parser.feed(slice(frame, 20, frame.size()), r.sink()), 0u);
    EXPECT_EQ(channels_of(r), kUntouched15);
}

TEST(PortParser, NullRecordsStillReportTheFrame) {
    vandry::PortStream parser;
    EXPECT_EQ(parser.feed(upload_frame(VANDRY_PAYLOAD_BOTH, ramp(47, 1)), vandry::RecordSink{nullptr, nullptr}), 1u);
}

TEST(PortParser, NeverBlocksOnEndlessGarbage) {
    vandry::PortStream parser;
    Records r;
    // Heads with lengths that can never fit, false heads with long plausible
    // lengths, and full 255-byte reads: a later frame must still get through.
    Bytes garbage;
    for (int k = 0; k < 4000; ++k) {
        const Bytes piece = (k % 3 == 0) ? Bytes{VANDRY_FRAME_HEAD, VANDRY_CMD_UPLOAD_DATA, 0xFF, 0xFF}
                            : (k % 3 == 1) ? Bytes{VANDRY_FRAME_HEAD, VANDRY_CMD_UPLOAD_DATA, 0xEF, 0x01}
                                           : Bytes{VANDRY_FRAME_HEAD, 0x00};
        garbage.insert(garbage.end(), piece.begin(), piece.end());
    }
    for (std::size_t at = 0; at < garbage.size(); at += 255) {
        EXPECT_EQ(parser.feed(slice(garbage, at, std::min(garbage.size(), at + 255)), r.sink()), 0u);
        EXPECT_LT(parser.pending(), vandry::kPortBufferSize);
    }
    // The last false head claims 500 bytes; one frame's worth of filler
    // proves it wrong, and the frame behind the filler is decoded.
    const Bytes tail = concat({noise(500), channels_frame()});
    std::size_t decoded = 0;
    for (std::size_t at = 0; at < tail.size(); at += 255) {
        decoded += parser.feed(slice(tail, at, std::min(tail.size(), at + 255)), r.sink());
    }
    EXPECT_EQ(decoded, 1u);
    EXPECT_EQ(channels_of(r), kChannelsA);
    EXPECT_TRUE(r.guards_intact());
}

// ---- any cut of the stream gives what the model gives ----------------------

// Feeds `stream` cut into chunks of the given sizes and checks every call
// against the model: frames accepted, records, pending bytes and guards.
// Adds the frames accepted to *frames_seen.
void expect_every_call_as_the_model(const Bytes& stream, const std::vector<std::size_t>& sizes, const std::string& what,
                                    std::size_t* frames_seen) {
    vandry::PortStream parser;
    vandry_model::StreamModel model;
    Records got;
    Guarded<channel_values> want_channels;
    Guarded<channel_banks> want_banks;
    std::size_t at = 0;
    for (std::size_t size : sizes) {
        const Bytes chunk = slice(stream, at, at + size);  // exact size: reads past it are caught
        const std::size_t frames = parser.feed(chunk, got.sink());
        std::size_t want_frames = 0;
        for (std::uint8_t byte : chunk)
            for (const Bytes& payload : model.push(byte)) {
                vandry_model::apply(payload, &want_channels.value, &want_banks.value);
                ++want_frames;
            }
        const auto where = ::testing::Message() << what << ", chunk at " << at;
        ASSERT_EQ(frames, want_frames) << where;
        ASSERT_TRUE(got.channels.same_value(want_channels.value)) << where;
        ASSERT_TRUE(got.banks.same_value(want_banks.value)) << where;
        ASSERT_EQ(parser.pending(), model.pending()) << where;
        ASSERT_LT(parser.pending(), vandry::kPortBufferSize) << where;
        ASSERT_TRUE(parser.sound()) << where;  // every offset inside the buffer
        ASSERT_TRUE(got.guards_intact()) << where;
        *frames_seen += frames;
        at += size;
    }
}

// A run of frames alike, then one that differs in a single field, then the
// first kind again: the odd one is decided on its own, whatever the cut.
TEST(PortParser, AFrameThatDiffersFromTheOnesBeforeInOneFieldIsDecidedOnItsOwn) {
    const Bytes payload = upload_payload(VANDRY_PAYLOAD_BOTH, ramp(47, 0x0301, 0x0102));
    const Bytes base = port_frame(VANDRY_CMD_UPLOAD_DATA, payload);
    auto with = [&](std::size_t at, std::uint8_t value) {
        Bytes out = base;
        out[at] = value;
        return out;
    };
    const Bytes empty_upload = port_frame(VANDRY_CMD_UPLOAD_DATA, {});
    const Bytes short_type2 = port_frame(VANDRY_CMD_UPLOAD_DATA, upload_payload(VANDRY_PAYLOAD_BOTH, ramp(20, 5)));
    const struct {
        const char* name;
        Bytes before;  // sent three times
        Bytes odd;
    } cases[] = {
        {"other values", base, port_frame(VANDRY_CMD_UPLOAD_DATA, upload_payload(VANDRY_PAYLOAD_BOTH, ramp(47, 9)))},
        {"a request frame", base, port_frame(VANDRY_CMD_REQUEST_UPLOAD, payload)},
        {"another command, an upload frame inside", base,
         port_frame(0x77, concat({Bytes(30, 0x11), channels_frame(), Bytes(29, 0x22)}))},
        {"a wrong tail", base, with(base.size() - 1, 0x5E)},
        {"another payload type", base, with(4, VANDRY_PAYLOAD_CHANNELS)},
        {"an unknown payload type", base, with(4, 7)},
        {"a length one shorter", base, port_frame(VANDRY_CMD_UPLOAD_DATA, slice(payload, 0, payload.size() - 1))},
        {"a length one longer", base, port_frame(VANDRY_CMD_UPLOAD_DATA, concat({payload, Bytes{0x5F}}))},
        {"empty upload frames, then an empty request frame", empty_upload, port_frame(VANDRY_CMD_REQUEST_UPLOAD, {})},
        {"frames too short for their type, then one of a type they suffice for", short_type2,
         with_type(short_type2, VANDRY_PAYLOAD_CHANNELS)},
    };
    for (const auto& c : cases) {
        const Bytes stream = concat({c.before, c.before, c.before, c.odd, base, base});
        for (std::size_t cut : {1u, 3u, 7u, 36u, 64u, 100u, 101u, 255u}) {
            std::vector<std::size_t> sizes(stream.size() / cut, cut);
            if (stream.size() % cut != 0) sizes.push_back(stream.size() % cut);
            std::size_t frames = 0;
            ASSERT_NO_FATAL_FAILURE(expect_every_call_as_the_model(
                stream, sizes, std::string(c.name) + ", chunks of " + std::to_string(cut), &frames));
        }
    }
}

// Frames that nearly fill the buffer, their start kept from a long read and
// the rest brought a byte at a time: the kept start must leave room for the
// whole frame behind it, whatever the read's length and the tail's.
TEST(PortParser, AFrameThatNearlyFillsTheBufferIsKeptWithRoomForAllOfIt) {
    for (std::size_t frame_size : {436u, 437u, 440u, 442u, 444u, 500u}) {
        const Bytes payload = concat({Bytes{VANDRY_PAYLOAD_CHANNELS}, Bytes(frame_size - VANDRY_FRAME_OVERHEAD - 1, 0x22)});
        const Bytes frame = port_frame(VANDRY_CMD_UPLOAD_DATA, payload);
        for (std::size_t lead : {0u, 32u, 60u, 63u}) {  // the frame's start is the last 64 - lead bytes of the read
            const Bytes stream = concat({Bytes(lead, 0x11), frame, Bytes{VANDRY_FRAME_HEAD, VANDRY_CMD_UPLOAD_DATA, 0x1F, 0}});
            std::vector<std::size_t> sizes{64};
            sizes.resize(stream.size() - 64 + 1, 1);
            std::size_t frames = 0;
            ASSERT_NO_FATAL_FAILURE(expect_every_call_as_the_model(
                stream, sizes, "frame of " + std::to_string(frame_size) + " after " + std::to_string(lead), &frames));
            EXPECT_EQ(frames, 1u);
        }
    }
}

TEST(PortParser, EveryCallAgreesWithTheModelWhateverTheCut) {
    std::size_t frames_seen = 0;
    const auto [first_seed, last_seed] = property_seeds(400);
    for (std::uint32_t seed = first_seed; seed <= last_seed; ++seed) {
        std::mt19937 rng(seed);
        const Bytes stream = random_stream(rng, 10 + rng() % 40);
        // Reads of the port (up to 255 bytes) and larger feeds of the parser.
        const std::size_t largest = seed % 4 == 0 ? 1200 : 255;
        for (int plan = 0; plan < 3; ++plan) {
            const std::string what = "seed " + std::to_string(seed) + " plan " + std::to_string(plan);
            ASSERT_NO_FATAL_FAILURE(
                expect_every_call_as_the_model(stream, random_cuts(rng, stream.size(), largest), what, &frames_seen));
        }
    }
    EXPECT_GT(frames_seen, 10 * (last_seed - first_seed + 1)) << "the generator hardly produces decodable frames";
}

}  // namespace
