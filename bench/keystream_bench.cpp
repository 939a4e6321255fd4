// Keystream throughput: the session rule over 1 MiB of traffic, and the raw generator.
// Each benchmark reports a rate counter "MB" (10^6 bytes, shown per second) beside Google
// Benchmark's own bytes_per_second.
#include "kvc_turing.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr int64_t MIB = 1 << 20;

void start_session(TuringData* st) {
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = uint8_t(i * 37 + 11);
    turing_session_start(st, key);
}

void report_rate(benchmark::State& state, int64_t bytes_per_iteration) {
    const int64_t bytes = int64_t(state.iterations()) * bytes_per_iteration;
    state.SetBytesProcessed(bytes);
    state.counters["MB"] = benchmark::Counter(double(bytes) / 1e6, benchmark::Counter::kIsRate);
}

void BM_SessionXor1MiB(benchmark::State& state) {
    TuringData st;
    start_session(&st);
    std::vector<uint8_t> buf(MIB, 0x5A);
    for (auto _ : state) {
        turing_session_xor(&st, buf.data(), MIB);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    report_rate(state, MIB);
}
BENCHMARK(BM_SessionXor1MiB);

void BM_TuringGen(benchmark::State& state) {
    TuringData st;
    start_session(&st);
    uint8_t out[TURING_BLOCK_BYTES];
    for (auto _ : state) {
        turing_gen(&st, out);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    report_rate(state, TURING_BLOCK_BYTES);
}
BENCHMARK(BM_TuringGen);

}  // namespace

BENCHMARK_MAIN();
