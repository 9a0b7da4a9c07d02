// Cost of a chunk: a fixed number of round trips of 1, 2, 4, 8 and 16 chunks, each direction one
// request. Run under callgrind (bench/report does), the statistics are zeroed just before the
// round trips and dumped just after, one dump per size named for it, so that only the round trips
// count; outside callgrind the requests are no-ops and the benchmark only moves and checks data.
#include <benchmark/benchmark.h>
#include <valgrind/callgrind.h>

#include <string>

#include "bench/bench_machine.h"
#include "driver/extension.h"

namespace wdmusb::bench {
namespace {

using sim::usb::CompletionMode;

constexpr int kRoundTrips = 64;
// More chunks than the pool's and the MDL table's quarantines hold blocks (a chunk frees one of
// each), so that the measured round trips find them full.
constexpr std::size_t kWarmUpChunks = 1100;

void chunkCost(benchmark::State& state, CompletionMode mode, const char* modeName) {
    BenchMachine bench;
    if (!bench.ok()) {
        state.SkipWithError("the device did not start or open");
        return;
    }
    bench.setMode(mode);
    const auto chunks = static_cast<std::size_t>(state.range(0));
    const std::string dump = std::string("chunks-") + modeName + "-" + std::to_string(chunks);
    {
        RoundTrips trips(chunks * WDMUSB_MAXIMUM_TRANSFER_SIZE);
        // The first round trips bring every lazily made record into being, and fill the
        // quarantines, whose oldest entries are then reused as a long run reuses them; they are
        // not counted.
        bool ok = trips.ok();
        for (std::size_t i = 0; ok && i < kWarmUpChunks / chunks + 2; ++i)
            ok = trips.next(bench.handle());
        CALLGRIND_ZERO_STATS;
        for (auto _ : state)
            ok = ok && trips.next(bench.handle());
        CALLGRIND_DUMP_STATS_AT(dump.c_str());
        if (!ok)
            state.SkipWithError("a round trip failed or brought back other data");
    }
    state.counters["chunks"] = static_cast<double>(chunks);
    bench.finish(state);
}

void BM_ChunkCostInline(benchmark::State& state) {
    chunkCost(state, CompletionMode::Inline, "inline");
}
void BM_ChunkCostThreads(benchmark::State& state) {
    chunkCost(state, CompletionMode::Thread, "threads");
}

void chunkCounts(benchmark::internal::Benchmark* b) {
    b->RangeMultiplier(2)->Range(1, 16)->Iterations(kRoundTrips)->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_ChunkCostInline)->Apply(chunkCounts);
BENCHMARK(BM_ChunkCostThreads)->Apply(chunkCounts)->UseRealTime();

} // namespace
} // namespace wdmusb::bench
