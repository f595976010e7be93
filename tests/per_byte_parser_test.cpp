// The benchmark's per-byte state machine is a fair comparator only if it is
// correct: every call agrees with the reference model, as the parser's do.
#include "per_byte_parser.h"

#include <gtest/gtest.h>

#include "stream_model.h"
#include "stream_test_support.h"

using namespace vandry_test;

namespace {

TEST(PerByteParser, EveryCallAgreesWithTheModel) {
    std::size_t frames_seen = 0;
    const auto [first_seed, last_seed] = property_seeds(200);
    for (std::uint32_t seed = first_seed; seed <= last_seed; ++seed) {
        std::mt19937 rng(seed);
        const Bytes stream = random_stream(rng, 10 + rng() % 40);
        vandry_bench::PerByteParser parser;
        vandry_model::StreamModel model;
        Guarded<channel_values> channels, want_channels;
        Guarded<channel_banks> banks, want_banks;
        std::size_t at = 0;
        for (std::size_t size : random_cuts(rng, stream.size())) {
            const Bytes chunk = slice(stream, at, at + size);
            const bool result = parser.feed(chunk.data(), chunk.size(), &channels.value, &banks.value);
            bool want = false;
            for (std::uint8_t byte : chunk)
                for (const Bytes& payload : model.push(byte)) {
                    vandry_model::apply(payload, &want_channels.value, &want_banks.value);
                    want = true;
                    ++frames_seen;
                }
            ASSERT_EQ(result, want) << "seed " << seed << " chunk at " << at;
            ASSERT_TRUE(channels.same_value(want_channels.value) && banks.same_value(want_banks.value)) << "seed " << seed;
            ASSERT_EQ(parser.pending(), model.pending()) << "seed " << seed;
            ASSERT_TRUE(channels.guard_intact() && banks.guard_intact());
            at += size;
        }
    }
    EXPECT_GT(frames_seen, 10 * (last_seed - first_seed + 1));
}

}  // namespace
