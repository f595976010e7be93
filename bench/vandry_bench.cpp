// parse_port_data on a continuous stream of 100-byte frames (payload type 2)
// in 64- and 255-byte reads, next to a floor that copies each read into a
// 500-byte buffer, finds heads with memchr and copies each payload into the
// records with memcpy.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "VandryInterface.h"

namespace {

constexpr std::size_t kFrameSize = 100;  // payload type 2: 95 payload bytes
constexpr std::size_t kFrames = 1000;

std::vector<std::uint8_t> make_stream() {
    std::vector<std::uint8_t> stream;
    std::uint16_t value = 0;
    for (std::size_t f = 0; f < kFrames; ++f) {
        stream.insert(stream.end(), {VANDRY_FRAME_HEAD, VANDRY_CMD_UPLOAD_DATA, 95, 0, VANDRY_PAYLOAD_BOTH});
        for (int k = 0; k < 47; ++k, value += 7) {
            // Values stay clear of 0xFA so that the floor's memchr finds
            // real heads only.
            const auto low = static_cast<std::uint8_t>(value % 200);
            stream.push_back(low);
            stream.push_back(static_cast<std::uint8_t>(value >> 8 & 0x3F));
        }
        stream.push_back(VANDRY_FRAME_TAIL);
    }
    return stream;
}

const std::vector<std::uint8_t>& stream() {
    static const std::vector<std::uint8_t> s = make_stream();
    return s;
}

// The least a parser of this stream must do.
class Floor {
public:
    bool feed(const std::uint8_t* data, std::size_t n, channel_values* channels, channel_banks* banks) {
        std::memcpy(buffer_ + pending_, data, n);
        const std::size_t total = pending_ + n;
        std::size_t p = 0;
        bool decoded = false;
        for (;;) {
            const void* head = std::memchr(buffer_ + p, VANDRY_FRAME_HEAD, total - p);
            if (head == nullptr) {
                pending_ = 0;
                return decoded;
            }
            p = static_cast<std::size_t>(static_cast<const std::uint8_t*>(head) - buffer_);
            if (p + kFrameSize > total) {
                std::memmove(buffer_, buffer_ + p, total - p);
                pending_ = total - p;
                return decoded;
            }
            std::memcpy(channels, buffer_ + p + 5, sizeof *channels);
            std::memcpy(banks, buffer_ + p + 5 + sizeof *channels, sizeof *banks);
            decoded = true;
            p += kFrameSize;
        }
    }

private:
    std::uint8_t buffer_[VANDRY_PORT_BUFFER_SIZE];
    std::size_t pending_ = 0;
};

template <typename Feed>
void run_stream(benchmark::State& state, Feed feed) {
    const auto chunk = static_cast<std::size_t>(state.range(0));
    const auto& s = stream();
    channel_values channels{};
    channel_banks banks{};
    std::size_t updates = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < s.size(); at += chunk) {
            const std::size_t n = at + chunk <= s.size() ? chunk : s.size() - at;
            updates += feed(s.data() + at, n, &channels, &banks) ? 1u : 0u;
        }
        benchmark::DoNotOptimize(channels);
        benchmark::DoNotOptimize(banks);
    }
    benchmark::DoNotOptimize(updates);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(s.size()));
}

void BM_ParsePortData(benchmark::State& state) {
    run_stream(state, [](const std::uint8_t* d, std::size_t n, channel_values* c, channel_banks* b) {
        return parse_port_data(d, static_cast<std::uint8_t>(n), c, b) != 0;
    });
}

void BM_Floor(benchmark::State& state) {
    Floor floor;
    run_stream(state, [&floor](const std::uint8_t* d, std::size_t n, channel_values* c, channel_banks* b) {
        return floor.feed(d, n, c, b);
    });
}

}  // namespace

BENCHMARK(BM_ParsePortData)->Arg(64)->Arg(255);
BENCHMARK(BM_Floor)->Arg(64)->Arg(255);

BENCHMARK_MAIN();
