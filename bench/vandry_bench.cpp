// The port parser's benchmarks, each with its comparator in the same run
// (bench/compare.py prints the ratios; the SBUS exports have a program of
// their own, sbus_bench.cpp):
//
//   Parse/<type>/<chunk>     parse_port_data on a stream of upload frames of one payload type
//   PerByte/<type>/<chunk>   a per-byte state machine doing the same decoding, called the same way
//   StreamFeed/<type>/<chunk> vandry_stream_feed, its callback copying the frame into the records
//   RecordsOnly/<type>       the records-only bound: each frame's values copied into the records,
//                            frame positions known in advance
//   CallsOnly/<type>/<chunk> an exported function that does nothing, called as parse_port_data is:
//                            the floor of any parser called once per read
//   Ceiling/<type>/<chunk>   a parser that knows the stream: one payload type, nothing between
//                            frames (bench/ceiling_parser.h); what any parser could reach per read
//   Adversarial/<name>/<chunk> parse_port_data on hostile streams (compare with Parse/2/<chunk>)
//   EveryChunkSize/<type>    parse_port_data and the state machine at every chunk size 1..255:
//                            the worst ratio and where
//
// Chunks are what a host's read returns; 1-byte chunks are what a port opened
// with VMIN=1 hands over.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "VandryInterface.h"
#include "VandryStream.h"
#include "ceiling_parser.h"
#include "per_byte_parser.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Records {
    channel_values channels;
    channel_banks banks;
};

constexpr std::size_t kFrames = 1000;
constexpr std::uint8_t kTypes[] = {VANDRY_PAYLOAD_CHANNELS, VANDRY_PAYLOAD_BANKS, VANDRY_PAYLOAD_BOTH};
constexpr std::size_t kChunks[] = {1, 2, 4, 8, 16, 32, 64, 128, 255};

std::size_t payload_size(std::uint8_t type) { return type == 0 ? 31 : type == 1 ? 65 : 95; }

// Upload frames of one type with values from a fixed generator: any byte,
// 0xFA included, may appear in a value, as on a real port.
Bytes frames_stream(std::uint8_t type) {
    Bytes out;
    std::uint32_t seed = 12345;
    const std::size_t length = payload_size(type);
    for (std::size_t f = 0; f < kFrames; ++f) {
        out.insert(out.end(), {VANDRY_FRAME_HEAD, VANDRY_CMD_UPLOAD_DATA, static_cast<std::uint8_t>(length), 0, type});
        for (std::size_t k = 1; k < length; ++k) {
            seed = seed * 1103515245u + 12345u;
            out.push_back(static_cast<std::uint8_t>(seed >> 16));
        }
        out.push_back(VANDRY_FRAME_TAIL);
    }
    return out;
}

Bytes repeated(std::initializer_list<std::uint8_t> piece, std::size_t total) {
    Bytes out;
    while (out.size() < total) out.insert(out.end(), piece);
    return out;
}

// Hostile streams, about 100 KB each. Heads with plausible lengths make the
// parser hold everything behind them until their tail is due.
struct Adversary {
    const char* name;
    Bytes bytes;
};

std::vector<Adversary> adversaries() {
    Bytes mixed;  // heads 2, 3 or 4 bytes apart with lengths up to 495
    std::uint32_t seed = 99;
    while (mixed.size() < 100000) {
        seed = seed * 1103515245u + 12345u;
        const unsigned gap = 2 + (seed >> 24) % 3;
        mixed.insert(mixed.end(), {VANDRY_FRAME_HEAD, static_cast<std::uint8_t>(seed >> 8), static_cast<std::uint8_t>(seed >> 16 & 0xEF), static_cast<std::uint8_t>(seed >> 20 & 1)});
        mixed.resize(mixed.size() - 4 + gap);
    }
    Bytes held_up;  // a false head claiming 500 bytes before every five frames
    const Bytes frames = frames_stream(VANDRY_PAYLOAD_BOTH);
    for (std::size_t at = 0; at < frames.size(); at += 500) {
        held_up.insert(held_up.end(), {VANDRY_FRAME_HEAD, VANDRY_CMD_UPLOAD_DATA, 0xEF, 0x01});
        held_up.insert(held_up.end(), frames.begin() + static_cast<std::ptrdiff_t>(at), frames.begin() + static_cast<std::ptrdiff_t>(at + 500));
    }
    return {
        {"heads_every_2", repeated({VANDRY_FRAME_HEAD, 0x00}, 100000)},  // each claims 255 bytes
        {"heads_every_4", repeated({VANDRY_FRAME_HEAD, VANDRY_CMD_UPLOAD_DATA, 0xEF, 0x01}, 100000)},  // 500 bytes
        {"heads_2_to_4_apart", mixed},
        {"all_0xFA", repeated({VANDRY_FRAME_HEAD}, 100000)},
        {"stop_frames", repeated({VANDRY_FRAME_HEAD, VANDRY_CMD_STOP_UPLOAD, 0, 0, VANDRY_FRAME_TAIL}, 100000)},
        {"frames_held_up", held_up},
    };
}

// Feeds the whole stream in chunks once per iteration. `feed` is a lambda,
// so that each parser is called directly, the way a host calls it.
template <typename Feed>
void run_stream(benchmark::State& state, const Bytes& bytes, std::size_t chunk, Feed feed) {
    Records records{};
    std::size_t updates = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < bytes.size(); at += chunk) {
            updates += feed(bytes.data() + at, std::min(chunk, bytes.size() - at), records) ? 1u : 0u;
        }
        benchmark::DoNotOptimize(records);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
    state.counters["updates"] = benchmark::Counter(static_cast<double>(updates), benchmark::Counter::kAvgIterations);
}

constexpr auto parse = [](const std::uint8_t* data, std::size_t n, Records& r) {
    return parse_port_data(data, static_cast<std::uint8_t>(n), &r.channels, &r.banks) != 0;
};

constexpr auto per_byte = [](const std::uint8_t* data, std::size_t n, Records& r) {
    return per_byte_parse_port_data(data, static_cast<std::uint8_t>(n), &r.channels, &r.banks) != 0;
};

constexpr auto call_only = [](const std::uint8_t* data, std::size_t n, Records& r) {
    return empty_parse_port_data(data, static_cast<std::uint8_t>(n), &r.channels, &r.banks) != 0;
};

using ParseFunction = std::uint8_t (*)(const std::uint8_t*, std::uint8_t, channel_values*, channel_banks*);
constexpr ParseFunction kCeilings[] = {ceiling_parse_port_data_0, ceiling_parse_port_data_1, ceiling_parse_port_data_2};

// The ceiling must do the parser's whole job on the streams it is measured
// on: the same updates and the same records after every read.
bool ceiling_agrees(const Bytes& bytes, std::uint8_t type, std::size_t chunk) {
    Records mine{}, library{};
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        const auto n = static_cast<std::uint8_t>(std::min(chunk, bytes.size() - at));
        const bool updated = kCeilings[type](bytes.data() + at, n, &mine.channels, &mine.banks) != 0;
        if (updated != (parse_port_data(bytes.data() + at, n, &library.channels, &library.banks) != 0) ||
            std::memcmp(&mine, &library, sizeof mine) != 0) {
            return false;
        }
    }
    return true;
}

void copy_frame(void* user, const vandry_frame* frame) {
    auto* records = static_cast<Records*>(user);
    if (frame->channels != nullptr) records->channels = *frame->channels;
    if (frame->banks != nullptr) records->banks = *frame->banks;
}

// The least a parser must do: copy each frame's values into the records,
// knowing where every frame starts.
void records_only(benchmark::State& state, const Bytes& bytes, std::uint8_t type) {
    const std::size_t frame_size = payload_size(type) + VANDRY_FRAME_OVERHEAD;
    std::vector<std::size_t> starts;
    for (std::size_t at = 0; at < bytes.size(); at += frame_size) starts.push_back(at);
    Records records{};
    for (auto _ : state) {
        for (std::size_t start : starts) {
            const std::uint8_t* values = bytes.data() + start + 5;
            if (type != VANDRY_PAYLOAD_BANKS) {
                std::memcpy(&records.channels, values, sizeof records.channels);
                values += sizeof records.channels;
            }
            if (type != VANDRY_PAYLOAD_CHANNELS) std::memcpy(&records.banks, values, sizeof records.banks);
            benchmark::DoNotOptimize(records);  // every copy happens, not only the last
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

// Seconds to feed `bytes` once in chunks of `chunk`.
template <typename Feed>
double seconds_to_feed(const Bytes& bytes, std::size_t chunk, Feed feed) {
    Records records{};
    std::size_t updates = 0;  // used, as a host uses it, as in run_stream
    const auto begin = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        updates += feed(bytes.data() + at, std::min(chunk, bytes.size() - at), records) ? 1u : 0u;
    }
    benchmark::DoNotOptimize(records);
    benchmark::DoNotOptimize(updates);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

// The state machine's time over the parser's at one chunk size, each the
// best of several tries taken in turns, so that a burst of load on a shared
// machine hits both alike.
double time_ratio(const Bytes& bytes, std::size_t chunk) {
    double per_byte_best = 1e9, parse_best = 1e9;
    for (int attempt = 0; attempt < 7; ++attempt) {
        per_byte_best = std::min(per_byte_best, seconds_to_feed(bytes, chunk, per_byte));
        parse_best = std::min(parse_best, seconds_to_feed(bytes, chunk, parse));
    }
    return per_byte_best / parse_best;
}

// Every chunk size from 1 to 255 on the first 20 KB of the stream: the
// smallest ratio of the state machine's time to the parser's (above 1, the
// parser is faster everywhere), and the chunk size where it occurs.
void every_chunk_size(benchmark::State& state, const Bytes& bytes) {
    const Bytes part(bytes.begin(), bytes.begin() + std::min<std::ptrdiff_t>(20000, static_cast<std::ptrdiff_t>(bytes.size())));
    double worst = 1e9;
    std::size_t worst_chunk = 0;
    for (auto _ : state) {
        for (std::size_t chunk = 1; chunk <= 255; ++chunk) {
            const double ratio = time_ratio(part, chunk);
            if (ratio < worst) {
                worst = ratio;
                worst_chunk = chunk;
            }
        }
    }
    state.counters["worst_ratio"] = worst;
    state.counters["worst_chunk"] = static_cast<double>(worst_chunk);
}

const Bytes& stream_of_type(std::uint8_t type) {
    static const Bytes streams[] = {frames_stream(0), frames_stream(1), frames_stream(2)};
    return streams[type];
}

// "Parse/2/64" and the like.
std::string name(const char* what, const char* which, std::size_t chunk) {
    char out[80];
    std::snprintf(out, sizeof out, "%s/%s/%zu", what, which, chunk);
    return out;
}

int register_parser_benchmarks() {
    for (std::uint8_t type : kTypes) {
        const Bytes& bytes = stream_of_type(type);
        const char t[] = {static_cast<char>('0' + type), '\0'};
        for (std::size_t chunk : kChunks) {
            benchmark::RegisterBenchmark(name("Parse", t, chunk).c_str(), run_stream<decltype(parse)>, bytes, chunk, parse);
            benchmark::RegisterBenchmark(name("PerByte", t, chunk).c_str(), run_stream<decltype(per_byte)>, bytes, chunk, per_byte);
            benchmark::RegisterBenchmark(name("StreamFeed", t, chunk).c_str(), [&bytes, chunk](benchmark::State& state) {
                vandry_stream stream;
                vandry_stream_init(&stream);
                run_stream(state, bytes, chunk, [&stream](const std::uint8_t* data, std::size_t n, Records& r) {
                    return vandry_stream_feed(&stream, data, n, copy_frame, &r) != 0;
                });
            });
        }
        benchmark::RegisterBenchmark((std::string("RecordsOnly/") + t).c_str(), records_only, bytes, type);
        for (std::size_t chunk : {std::size_t{64}, std::size_t{255}}) {
            benchmark::RegisterBenchmark(name("CallsOnly", t, chunk).c_str(), run_stream<decltype(call_only)>, bytes, chunk, call_only);
            if (!ceiling_agrees(bytes, type, chunk)) {
                std::fprintf(stderr, "the ceiling parser decodes type %u in %zu-byte reads unlike parse_port_data\n", type, chunk);
                std::abort();
            }
            const ParseFunction ceiling = kCeilings[type];
            benchmark::RegisterBenchmark(name("Ceiling", t, chunk).c_str(), [&bytes, chunk, ceiling](benchmark::State& state) {
                run_stream(state, bytes, chunk, [ceiling](const std::uint8_t* data, std::size_t n, Records& r) {
                    return ceiling(data, static_cast<std::uint8_t>(n), &r.channels, &r.banks) != 0;
                });
            });
        }
        benchmark::RegisterBenchmark((std::string("EveryChunkSize/") + t).c_str(), every_chunk_size, bytes)->Iterations(1);
    }
    static const std::vector<Adversary> hostile = adversaries();
    for (const Adversary& a : hostile)
        for (std::size_t chunk : {std::size_t{1}, std::size_t{64}, std::size_t{255}})
            benchmark::RegisterBenchmark(name("Adversarial", a.name, chunk).c_str(), run_stream<decltype(parse)>, a.bytes, chunk, parse);
    return 0;
}

const int registered = register_parser_benchmarks();

}  // namespace

BENCHMARK_MAIN();
