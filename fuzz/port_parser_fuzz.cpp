// Feeds arbitrary bytes to the port parser in an arbitrary chunk plan and
// checks, after every chunk, that the records, the result and the pending
// bytes equal those of a parser fed the same bytes one at a time.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "port_protocol.h"

namespace {

struct Records {
    channel_values channels;
    channel_banks banks;
};

// The first two input bytes seed the chunk sizes; the rest is the stream.
class ChunkPlan {
public:
    ChunkPlan(std::uint8_t a, std::uint8_t b) : state_(static_cast<std::uint32_t>(a << 8 | b) | 1u) {}
    std::size_t next() {
        state_ = state_ * 1103515245u + 12345u;
        const std::uint32_t r = state_ >> 8;
        switch (state_ >> 30) {
            case 0: return 1 + r % 4;
            case 1: return 1 + r % 64;
            default: return 1 + r % 255;
        }
    }

private:
    std::uint32_t state_;
};

void check(bool holds) {
    if (!holds) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    ChunkPlan plan(data[0], data[1]);
    const std::uint8_t* stream = data + 2;
    const std::size_t length = size - 2;

    vandry::PortParser chunked, single;
    Records got, want;
    std::memset(&got, 0xEE, sizeof got);
    std::memset(&want, 0xEE, sizeof want);
    for (std::size_t at = 0; at < length;) {
        std::size_t n = plan.next();
        if (n > length - at) n = length - at;
        // An exact-size copy, so that any read past the chunk is caught.
        const std::vector<std::uint8_t> chunk(stream + at, stream + at + n);
        const bool result = chunked.feed(chunk, &got.channels, &got.banks);
        bool expected = false;
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint8_t byte[1] = {chunk[k]};
            expected |= single.feed(byte, &want.channels, &want.banks);
        }
        check(result == expected);
        check(std::memcmp(&got, &want, sizeof got) == 0);
        check(chunked.pending() == single.pending());
        check(chunked.pending() < vandry::kPortBufferSize);
        at += n;
    }
    return 0;
}
