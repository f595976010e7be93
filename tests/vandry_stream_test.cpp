// VandryStream as a host sees it, natively against libVandryStream.so and
// under Wine against VandryStream.dll: every frame in order, as the
// reference model says, for any number of independent streams.
#include "VandryStream.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "frame_builder.h"
#include "stream_model.h"
#include "stream_test_support.h"

using namespace vandry_test;

namespace {

using Values = std::vector<std::uint16_t>;

// A delivered frame, copied during the callback.
struct Frame {
    std::uint8_t type;
    std::optional<Values> channels;
    std::optional<Values> banks;
    bool operator==(const Frame&) const = default;
};

void record(void* user, const vandry_frame* frame) {
    Frame copy{frame->type, std::nullopt, std::nullopt};
    if (frame->channels != nullptr) copy.channels = Values(std::begin(frame->channels->channel), std::end(frame->channels->channel));
    if (frame->banks != nullptr) copy.banks = Values(&frame->banks->bank[0][0], &frame->banks->bank[0][0] + 32);
    static_cast<std::vector<Frame>*>(user)->push_back(copy);
}

// The frame the model's payload should reach the callback as.
Frame expected_frame(const Bytes& payload) {
    channel_values channels{};
    channel_banks banks{};
    vandry_model::apply(payload, &channels, &banks);
    Frame frame = {payload[0], std::nullopt, std::nullopt};
    if (payload[0] == 0 || payload[0] == 2) frame.channels = Values(std::begin(channels.channel), std::end(channels.channel));
    if (payload[0] == 1 || payload[0] == 2) frame.banks = Values(&banks.bank[0][0], &banks.bank[0][0] + 32);
    return frame;
}

std::vector<Frame> model_frames(vandry_model::StreamModel& model, const Bytes& bytes) {
    std::vector<Frame> frames;
    for (std::uint8_t byte : bytes)
        for (const Bytes& payload : model.push(byte)) frames.push_back(expected_frame(payload));
    return frames;
}

// A caller-owned stream with guard bytes behind it, garbage before init.
struct Stream {
    Guarded<vandry_stream> storage;
    Stream() { vandry_stream_init(&storage.value); }
    vandry_stream* get() { return &storage.value; }
    std::size_t feed(const Bytes& bytes, std::vector<Frame>& into) {
        return vandry_stream_feed(get(), bytes.data(), bytes.size(), record, &into);
    }
};

// Chunks of the stream, each an exact-size copy so that reads past it are caught.
std::vector<Bytes> cut(const Bytes& stream, const std::vector<std::size_t>& sizes) {
    std::vector<Bytes> chunks;
    std::size_t at = 0;
    for (std::size_t size : sizes) {
        chunks.push_back(slice(stream, at, at + size));
        at += size;
    }
    return chunks;
}

Bytes mixed_stream(std::uint32_t seed, std::size_t at_least) {
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < at_least) {
        const Bytes more = random_stream(rng, 50);
        out.insert(out.end(), more.begin(), more.end());
    }
    return out;
}

TEST(VandryStream, EveryCallDeliversWhatTheModelSaysWhateverTheCut) {
    std::size_t delivered = 0;
    const auto [first_seed, last_seed] = property_seeds(150);
    for (std::uint32_t seed = first_seed; seed <= last_seed; ++seed) {
        std::mt19937 rng(seed);
        const Bytes bytes = random_stream(rng, 10 + rng() % 40);
        Stream stream;
        vandry_model::StreamModel model;
        for (const Bytes& chunk : cut(bytes, random_cuts(rng, bytes.size(), seed % 3 == 0 ? 2000 : 255))) {
            std::vector<Frame> got;
            const std::size_t count = stream.feed(chunk, got);
            const std::vector<Frame> want = model_frames(model, chunk);
            ASSERT_EQ(count, want.size()) << "seed " << seed;
            ASSERT_EQ(got, want) << "seed " << seed;
            ASSERT_EQ(vandry_stream_pending(stream.get()), model.pending()) << "seed " << seed;
            ASSERT_TRUE(stream.storage.guard_intact()) << "seed " << seed;
            delivered += count;
        }
    }
    EXPECT_GT(delivered, 10 * (last_seed - first_seed + 1)) << "the generator hardly produces frames";
}

// Every one of the 2^(n-1) cuts of short streams: a head that may be false,
// then two 6-byte frames that its decision may release at once, a byte of
// each replaced at random by one that matters (a head, a tail, a command).
TEST(VandryStream, EveryCutOfShortStreamsDeliversEachFrameOnceInOrder) {
    const std::uint8_t alphabet[] = {VANDRY_FRAME_HEAD, VANDRY_CMD_UPLOAD_DATA, VANDRY_CMD_REQUEST_UPLOAD,
                                     VANDRY_FRAME_TAIL, 0, 1, 2, 3, 7};
    const auto pick = [&](std::mt19937& rng) { return alphabet[rng() % std::size(alphabet)]; };
    std::mt19937 rng(99);
    std::size_t delivered = 0;
    constexpr int kTrials = 24;
    constexpr std::size_t kSize = 16;
    for (int trial = 0; trial < kTrials; ++trial) {
        const auto small_frame = [&] { return port_frame(VANDRY_CMD_UPLOAD_DATA, {static_cast<std::uint8_t>(3 + rng() % 5)}); };
        Bytes bytes = concat({{VANDRY_FRAME_HEAD, pick(rng), static_cast<std::uint8_t>(rng() % 12), 0}, small_frame(),
                              small_frame()});
        bytes[rng() % kSize] = pick(rng);
        for (unsigned cuts = 0; cuts < 1u << (kSize - 1); ++cuts) {
            Stream stream;
            vandry_model::StreamModel model;
            for (std::size_t from = 0, to = 1; to <= kSize; ++to) {
                if (to < kSize && (cuts >> (to - 1) & 1) == 0) continue;
                const Bytes chunk = slice(bytes, from, to);
                std::vector<Frame> got;
                const std::size_t count = stream.feed(chunk, got);
                const std::vector<Frame> want = model_frames(model, chunk);
                ASSERT_EQ(count, want.size()) << "trial " << trial << " cuts " << cuts;
                ASSERT_EQ(got, want) << "trial " << trial << " cuts " << cuts;
                ASSERT_EQ(vandry_stream_pending(stream.get()), model.pending()) << "trial " << trial << " cuts " << cuts;
                delivered += count;
                from = to;
            }
        }
    }
    EXPECT_GT(delivered, kTrials * (1u << (kSize - 1))) << "the streams hardly hold frames";
}

TEST(VandryStream, InterleavedStreamsGiveWhatEachGivesAlone) {
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        const Bytes bytes[2] = {random_stream(rng, 40), random_stream(rng, 40)};
        std::vector<Bytes> chunks[2] = {cut(bytes[0], random_cuts(rng, bytes[0].size())),
                                        cut(bytes[1], random_cuts(rng, bytes[1].size()))};
        Stream streams[2];
        std::vector<Frame> got[2];
        std::size_t next[2] = {0, 0};
        while (next[0] < chunks[0].size() || next[1] < chunks[1].size()) {
            const int which = next[1] == chunks[1].size() || (next[0] < chunks[0].size() && rng() % 2 == 0) ? 0 : 1;
            streams[which].feed(chunks[which][next[which]++], got[which]);
        }
        for (int which = 0; which < 2; ++which) {
            vandry_model::StreamModel model;
            EXPECT_EQ(got[which], model_frames(model, bytes[which])) << "seed " << seed << " stream " << which;
            Stream alone;
            std::vector<Frame> alone_frames;
            alone.feed(bytes[which], alone_frames);
            EXPECT_EQ(got[which], alone_frames) << "seed " << seed << " stream " << which;
            EXPECT_TRUE(streams[which].storage.guard_intact());
        }
    }
}

TEST(VandryStream, FeedsOfOneByte255BytesAnd100000BytesAtOnce) {
    const Bytes bytes = mixed_stream(7, 100000);
    vandry_model::StreamModel model;
    const std::vector<Frame> want = model_frames(model, bytes);
    ASSERT_GT(want.size(), 500u);
    for (const std::size_t size : {std::size_t{1}, std::size_t{255}, bytes.size()}) {
        SCOPED_TRACE(size);
        Stream stream;
        std::vector<Frame> got;
        std::size_t count = 0;
        for (std::size_t at = 0; at < bytes.size(); at += size) {
            count += vandry_stream_feed(stream.get(), bytes.data() + at, std::min(size, bytes.size() - at), record, &got);
        }
        EXPECT_EQ(count, want.size());
        EXPECT_TRUE(got == want);
        EXPECT_EQ(vandry_stream_pending(stream.get()), model.pending());
        EXPECT_TRUE(stream.storage.guard_intact());
    }
}

TEST(VandryStream, ResetInTheMiddleOfAFrameDropsIt) {
    const Bytes frame = upload_frame(VANDRY_PAYLOAD_BANKS, ramp(32, 100));
    const Bytes other = upload_frame(VANDRY_PAYLOAD_CHANNELS, ramp(15, 7));
    Stream stream;
    std::vector<Frame> got;
    EXPECT_EQ(stream.feed(slice(frame, 0, 40), got), 0u);
    EXPECT_EQ(vandry_stream_pending(stream.get()), 40u);
    vandry_stream_reset(stream.get());
    EXPECT_EQ(vandry_stream_pending(stream.get()), 0u);
    // The rest of the old frame joins nothing; the next whole frame arrives.
    EXPECT_EQ(stream.feed(concat({slice(frame, 40, frame.size()), other}), got), 1u);
    vandry_model::StreamModel model;
    EXPECT_EQ(got, model_frames(model, other));
}

TEST(VandryStream, UnknownTypesArriveWithoutRecordsAndShortFramesNotAtAll) {
    struct Case {
        std::string name;
        Bytes bytes;
        std::vector<Frame> want;
    };
    const Values channels = ramp(15, 3), banks = ramp(32, 50);
    Values both = channels;
    both.insert(both.end(), banks.begin(), banks.end());
    const std::vector<Case> cases = {
        {"channels", upload_frame(0, channels), {{0, channels, std::nullopt}}},
        {"banks", upload_frame(1, banks), {{1, std::nullopt, banks}}},
        {"both", upload_frame(2, both), {{2, channels, banks}}},
        {"unknown type 3", upload_frame(3, channels), {{3, std::nullopt, std::nullopt}}},
        {"unknown type 0xFF, type byte only", port_frame(VANDRY_CMD_UPLOAD_DATA, {0xFF}), {{0xFF, std::nullopt, std::nullopt}}},
        {"channels one byte short", port_frame(VANDRY_CMD_UPLOAD_DATA, slice(upload_payload(0, channels), 0, 30)), {}},
        {"both with only the channel part", upload_frame(2, channels), {}},
        {"empty payload", port_frame(VANDRY_CMD_UPLOAD_DATA, {}), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Stream stream;
        std::vector<Frame> got;
        EXPECT_EQ(stream.feed(c.bytes, got), c.want.size());
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(vandry_stream_pending(stream.get()), 0u);
        // Counted the same way with no callback at all.
        Stream uncalled;
        EXPECT_EQ(vandry_stream_feed(uncalled.get(), c.bytes.data(), c.bytes.size(), nullptr, nullptr), c.want.size());
    }
}

TEST(VandryStream, NullArgumentsChangeNothing) {
    const Bytes frame = upload_frame(0, ramp(15, 9));
    EXPECT_EQ(vandry_stream_feed(nullptr, frame.data(), frame.size(), record, nullptr), 0u);
    EXPECT_EQ(vandry_stream_pending(nullptr), 0u);
    vandry_stream_init(nullptr);
    vandry_stream_reset(nullptr);

    Stream stream;
    std::vector<Frame> got;
    EXPECT_EQ(stream.feed(slice(frame, 0, 10), got), 0u);
    const Guarded<vandry_stream> before = stream.storage;
    EXPECT_EQ(vandry_stream_feed(stream.get(), nullptr, 5, record, &got), 0u);
    EXPECT_EQ(vandry_stream_feed(stream.get(), frame.data(), 0, record, &got), 0u);
    EXPECT_TRUE(stream.storage.same_value(before.value));
    EXPECT_EQ(stream.feed(slice(frame, 10, frame.size()), got), 1u);
    EXPECT_EQ(got.size(), 1u);
}

// A callback that resets, re-initialises or feeds its own stream, or writes
// over its storage, breaks the header's rule; the library must still stay
// inside the stream and the data. The call that ran the callback decides the
// stream, so a reset there changes nothing the model would not.
TEST(VandryStream, ACallbackThatTouchesItsOwnStreamCannotCorruptIt) {
    struct Misuse {
        const char* name;
        void (*act)(vandry_stream*);
        bool model_holds;  // what the outer calls deliver and hold is still the model's
    };
    static const Bytes nested = concat({upload_frame(0, ramp(15, 1)), {VANDRY_FRAME_HEAD, VANDRY_CMD_UPLOAD_DATA, 60}});
    const Misuse misuses[] = {
        {"reset", [](vandry_stream* s) { vandry_stream_reset(s); }, true},
        {"init", [](vandry_stream* s) { vandry_stream_init(s); }, true},
        {"zeroed", [](vandry_stream* s) { std::memset(s, 0, sizeof *s); }, false},
        {"garbage", [](vandry_stream* s) { std::memset(s, 0xB7, sizeof *s); }, false},
        {"fed", [](vandry_stream* s) { vandry_stream_feed(s, nested.data(), nested.size(), nullptr, nullptr); }, false},
    };
    struct Context {
        const Misuse* misuse;
        vandry_stream* stream;
        std::vector<Frame> frames;
    };
    const auto on_frame = [](void* user, const vandry_frame* frame) {
        auto* context = static_cast<Context*>(user);
        record(&context->frames, frame);
        context->misuse->act(context->stream);
    };
    for (const Misuse& misuse : misuses) {
        SCOPED_TRACE(misuse.name);
        for (std::uint32_t seed = 1; seed <= 60; ++seed) {
            std::mt19937 rng(seed);
            const Bytes bytes = random_stream(rng, 40);
            Stream stream;
            Context context{&misuse, stream.get(), {}};
            vandry_model::StreamModel model;
            for (const Bytes& chunk : cut(bytes, random_cuts(rng, bytes.size(), 600))) {
                context.frames.clear();
                const std::size_t count = vandry_stream_feed(stream.get(), chunk.data(), chunk.size(), on_frame, &context);
                const std::vector<Frame> want = model_frames(model, chunk);
                ASSERT_TRUE(stream.storage.guard_intact()) << "seed " << seed;
                ASSERT_LT(vandry_stream_pending(stream.get()), std::size_t{VANDRY_PORT_BUFFER_SIZE}) << "seed " << seed;
                if (misuse.model_holds) {
                    ASSERT_EQ(count, want.size()) << "seed " << seed;
                    ASSERT_EQ(context.frames, want) << "seed " << seed;
                    ASSERT_EQ(vandry_stream_pending(stream.get()), model.pending()) << "seed " << seed;
                }
            }
        }
    }
}

// A host that reuses its read buffer from inside the callback rewrites the
// frames the library has matched but not handed over yet: one that now
// claims a type it is too short for must not be decoded past its end.
TEST(VandryStream, ACallbackThatRewritesTheDataCannotMakeItReadPastIt) {
    const Bytes frame = upload_frame(VANDRY_PAYLOAD_CHANNELS, ramp(15, 1));
    struct Context {
        Bytes data;
        std::vector<Frame> frames;
    } context{concat({frame, frame, frame, frame}), {}};
    const auto retype = [](void* user, const vandry_frame* delivered) {
        auto* c = static_cast<Context*>(user);
        record(&c->frames, delivered);
        for (std::size_t at = 4; at < c->data.size(); at += 36) c->data[at] = VANDRY_PAYLOAD_BOTH;
    };
    Stream stream;
    EXPECT_EQ(vandry_stream_feed(stream.get(), context.data.data(), context.data.size(), retype, &context), 4u);
    ASSERT_EQ(context.frames.size(), 1u);  // the others now claim 95 payload bytes in 31
    EXPECT_EQ(context.frames[0], (Frame{VANDRY_PAYLOAD_CHANNELS, ramp(15, 1), std::nullopt}));
}

// No buffer is larger than PTRDIFF_MAX bytes: such a length is a negative
// count converted (a failed read's -1), and is refused as null data is,
// whether or not the stream holds a frame begun.
TEST(VandryStream, ALengthNoBufferCanHaveChangesNothing) {
    const Bytes frame = upload_frame(0, ramp(15, 9));
    const std::size_t lengths[] = {SIZE_MAX, SIZE_MAX - 1, static_cast<std::size_t>(-4096),
                                   static_cast<std::size_t>(PTRDIFF_MAX) + 1};
    for (const std::size_t held : {std::size_t{0}, std::size_t{2}, std::size_t{10}}) {
        for (const std::size_t length : lengths) {
            SCOPED_TRACE(testing::Message() << "held " << held << ", length " << length);
            Stream stream;
            std::vector<Frame> got;
            stream.feed(slice(frame, 0, held), got);
            const Guarded<vandry_stream> before = stream.storage;
            EXPECT_EQ(vandry_stream_feed(stream.get(), frame.data() + held, length, record, &got), 0u);
            EXPECT_TRUE(stream.storage.same_value(before.value));
            EXPECT_TRUE(stream.storage.guard_intact());
            EXPECT_EQ(stream.feed(slice(frame, held, frame.size()), got), 1u);
            EXPECT_EQ(got.size(), 1u);
        }
    }
}

// Hosts keep streams in arrays that grow and move, and the Python binding
// copies them: a copy made mid-frame finishes that frame on its own.
TEST(VandryStream, ACopyGoesOnApartFromTheOriginal) {
    const Bytes frames = concat({{VANDRY_FRAME_HEAD, 0x10, 80, 0}, upload_frame(1, ramp(32, 5)), upload_frame(0, ramp(15, 80))});
    for (std::size_t at = 1; at < frames.size(); at += 7) {
        SCOPED_TRACE(at);
        Stream original;
        std::vector<Frame> before, from_original, from_copy;
        original.feed(slice(frames, 0, at), before);
        Guarded<vandry_stream> copy;
        std::memcpy(&copy.value, original.get(), sizeof copy.value);
        const Bytes rest = slice(frames, at, frames.size());
        EXPECT_EQ(vandry_stream_feed(&copy.value, rest.data(), rest.size(), record, &from_copy), original.feed(rest, from_original));
        vandry_model::StreamModel model;
        model_frames(model, slice(frames, 0, at));
        EXPECT_EQ(from_copy, model_frames(model, rest));
        EXPECT_EQ(from_original, from_copy);
        EXPECT_TRUE(copy.guard_intact());
    }
}

TEST(VandryStream, GarbageInAStructNeverInitialisedStaysInside) {
    const Bytes bytes = mixed_stream(11, 3000);
    Guarded<vandry_stream> garbage;  // filled with 0xEE, never initialised
    EXPECT_LT(vandry_stream_pending(&garbage.value), std::size_t{VANDRY_PORT_BUFFER_SIZE});
    vandry_model::StreamModel model;
    std::vector<Frame> got;
    EXPECT_EQ(vandry_stream_feed(&garbage.value, bytes.data(), bytes.size(), record, &got), model_frames(model, bytes).size());
    EXPECT_TRUE(garbage.guard_intact());
}

TEST(VandryStream, AZeroedStructIsAFreshStream) {
    const Bytes bytes = mixed_stream(3, 3000);
    Guarded<vandry_stream> zeroed;
    std::memset(&zeroed.value, 0, sizeof zeroed.value);
    Stream initialised;  // from garbage, through vandry_stream_init
    EXPECT_EQ(vandry_stream_pending(&zeroed.value), 0u);
    std::vector<Frame> from_zero, from_init;
    for (const Bytes& chunk : cut(bytes, std::vector<std::size_t>(bytes.size() / 100, 100))) {
        EXPECT_EQ(vandry_stream_feed(&zeroed.value, chunk.data(), chunk.size(), record, &from_zero),
                  initialised.feed(chunk, from_init));
        EXPECT_EQ(vandry_stream_pending(&zeroed.value), vandry_stream_pending(initialised.get()));
    }
    EXPECT_FALSE(from_zero.empty());
    EXPECT_EQ(from_zero, from_init);
    EXPECT_TRUE(zeroed.guard_intact());
}

}  // namespace
