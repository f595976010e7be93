// The cost of each SBUS export next to the cost of calling an empty function
// exported from a library of the benchmark's own, with the same arguments
// and through the same kind of PLT call. bench/compare.py prints the ratios.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "VandryInterface.h"

extern "C" void vandry_bench_empty_export(void* out, const void* in);

namespace {

// The inputs are made opaque to the compiler before each call and the output
// is consumed after it, so the loop around the call is the same for all.
template <typename Out, typename In, typename Call>
void time_calls(benchmark::State& state, Out& out, In& in, Call call) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(in);
        call(&out, in);
        benchmark::DoNotOptimize(out);
    }
}

struct Inputs {
    sbus_channels channels;
    sbus_frame frame{};
    Inputs() {
        for (int k = 0; k < 16; ++k) channels.channel[k] = static_cast<std::uint16_t>(k * 127);
    }
};

void BM_EmptyExport(benchmark::State& state) {
    Inputs io;
    time_calls(state, io.frame, io.channels,
               [](sbus_frame* f, const sbus_channels& c) { vandry_bench_empty_export(f, &c); });
}

template <void (*Encode)(sbus_frame*, const sbus_channels*)>
void BM_EncodeSbus(benchmark::State& state) {
    Inputs io;
    time_calls(state, io.frame, io.channels, [](sbus_frame* f, const sbus_channels& c) { Encode(f, &c); });
}

void BM_ConvertSbus(benchmark::State& state) {
    Inputs io;
    sbus_channels scaled{};
    time_calls(state, scaled, io.channels,
               [](sbus_channels* dst, const sbus_channels& src) { convert_std_sbus_data(dst, src.channel); });
}

}  // namespace

BENCHMARK(BM_EmptyExport);
BENCHMARK(BM_EncodeSbus<encode_sbus_data_v1>)->Name("BM_EncodeSbusV1");
BENCHMARK(BM_EncodeSbus<encode_sbus_data_v2>)->Name("BM_EncodeSbusV2");
BENCHMARK(BM_ConvertSbus);

BENCHMARK_MAIN();
