// The benchmark program's main, and ns per SBUS frame for both encoders. The
// port parser's benchmarks are in parser_bench.cpp.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "VandryInterface.h"

namespace {

sbus_channels sample_channels() {
    sbus_channels c;
    for (int k = 0; k < 16; ++k) c.channel[k] = static_cast<std::uint16_t>(k * 127);
    return c;
}

template <void (*Encode)(sbus_frame*, const sbus_channels*)>
void BM_EncodeSbus(benchmark::State& state) {
    sbus_channels c = sample_channels();
    sbus_frame f{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(c);
        Encode(&f, &c);
        benchmark::DoNotOptimize(f);
    }
}

void BM_ConvertSbus(benchmark::State& state) {
    std::uint16_t src[16];
    for (int k = 0; k < 16; ++k) src[k] = static_cast<std::uint16_t>(k * 75);
    sbus_channels c{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(src);
        convert_std_sbus_data(&c, src);
        benchmark::DoNotOptimize(c);
    }
}

}  // namespace

BENCHMARK(BM_EncodeSbus<encode_sbus_data_v1>)->Name("BM_EncodeSbusV1");
BENCHMARK(BM_EncodeSbus<encode_sbus_data_v2>)->Name("BM_EncodeSbusV2");
BENCHMARK(BM_ConvertSbus);

BENCHMARK_MAIN();
