// Round trip: an application thread writes N bytes and reads them back through the application
// side, the driver, the bus and the loopback device, and checks every byte. The baseline, measured
// in the same run: two memcpy of N bytes, since the device copies each byte once per direction.
// The 64 KiB inline round trip runs with the verifier on and off: the ratio of their CPU times
// (the whole process's) is the verifier's price.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "bench/bench_machine.h"

namespace wdmusb::bench {
namespace {

using sim::usb::CompletionMode;

void setThroughput(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

using Clock = std::chrono::steady_clock;

void twoCopies(const std::vector<std::uint8_t>& data, std::vector<std::uint8_t>& device,
               std::vector<std::uint8_t>& back) {
    std::memcpy(device.data(), data.data(), data.size());
    benchmark::ClobberMemory();
    std::memcpy(back.data(), device.data(), device.size());
    benchmark::DoNotOptimize(back.data());
    benchmark::ClobberMemory();
}

// Bytes per second of two memcpy of the data, timed for a while (the best of several runs, so
// that another process taking the core for a moment does not lower the bound).
double memcpyBound(const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> device(data.size());
    std::vector<std::uint8_t> back(data.size());
    constexpr int kRuns = 5;
    constexpr int kCopiesPerRun = 200;
    double best = 0;
    for (int run = 0; run < kRuns; ++run) {
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < kCopiesPerRun; ++i)
            twoCopies(data, device, back);
        const std::chrono::duration<double> took = Clock::now() - start;
        best = std::max(best, static_cast<double>(data.size()) * kCopiesPerRun / took.count());
    }
    return best;
}

void BM_TwoMemcpy(benchmark::State& state) {
    const std::vector<std::uint8_t> data = pattern(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint8_t> device(data.size());
    std::vector<std::uint8_t> back(data.size());
    for (auto _ : state)
        twoCopies(data, device, back);
    if (std::memcmp(back.data(), data.data(), data.size()) != 0)
        state.SkipWithError("the copies differ");
    setThroughput(state);
}

// The round trips, timed by wall clock (the completions run on other threads).
std::chrono::duration<double> timeRoundTrips(benchmark::State& state, BenchMachine& bench,
                                             std::size_t bytes) {
    RoundTrips trips(bytes);
    if (!trips.ok()) {
        state.SkipWithError("no user-space buffers");
        return {};
    }
    const Clock::time_point start = Clock::now();
    for (auto _ : state) {
        if (!trips.next(bench.handle())) {
            state.SkipWithError("a round trip failed or brought back other data");
            break;
        }
    }
    return Clock::now() - start;
}

// Arguments: bytes, verifier (1 on, 0 off).
void roundTrips(benchmark::State& state, CompletionMode mode) {
    BenchMachine bench(0, verifierArg(state.range(1)));
    if (!bench.ok()) {
        state.SkipWithError("the device did not start or open");
        return;
    }
    bench.setMode(mode);
    const auto bytes = static_cast<std::size_t>(state.range(0));
    const double bound = memcpyBound(pattern(bytes));
    const std::chrono::duration<double> took = timeRoundTrips(state, bench, bytes);
    setThroughput(state);
    const double rate = static_cast<double>(bytes) * state.iterations() / took.count();
    state.counters["wall_Bps"] = rate;
    state.counters["memcpy_Bps"] = bound;
    state.counters["ratio"] = rate / bound;
    bench.finish(state);
}

void BM_RoundTripInline(benchmark::State& state) {
    roundTrips(state, CompletionMode::Inline);
}
void BM_RoundTripThreads(benchmark::State& state) {
    roundTrips(state, CompletionMode::Thread);
}

// 4, 16 and 64 KiB: one, four and sixteen chunks, with the verifier on; 64 KiB also with it off.
void sizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"bytes", "verifier"});
    for (const std::int64_t bytes : {4 << 10, 16 << 10, 64 << 10})
        b->Args({bytes, 1});
    b->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();
}
void sizesBothWays(benchmark::internal::Benchmark* b) {
    sizes(b);
    b->Args({64 << 10, 0});
}

BENCHMARK(BM_TwoMemcpy)->Arg(4 << 10)->Arg(16 << 10)->Arg(64 << 10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RoundTripInline)->Apply(sizesBothWays);
BENCHMARK(BM_RoundTripThreads)->Apply(sizes)->UseRealTime();

} // namespace
} // namespace wdmusb::bench
