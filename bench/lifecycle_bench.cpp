// A device's whole life, single thread: added and started, opened, 64 KiB written and read back
// (checked), closed, surprise-removed, removed. One driver and one bus serve every lifecycle,
// as they would serve a device plugged in and out again and again.
#include <benchmark/benchmark.h>

#include <algorithm>

#include "bench/bench_machine.h"
#include "driver/dispatch.h"
#include "sim/core/system.h"
#include "sim/pnp/pnp_manager.h"

namespace wdmusb::bench {
namespace {

// One lifecycle; an error text, or nullptr when every step did what it should.
const char* lifecycle(sim::app::SimulatedMachine& machine, std::span<const std::uint8_t> data,
                      std::span<std::uint8_t> back) {
    sim::DeviceNode& node = machine.plugDevice();
    if (node.startStatus != STATUS_SUCCESS)
        return "the device did not start";
    test::AppHandle handle = test::openDevice(GUID_DEVINTERFACE_WDMUSB);
    if (!handle.valid())
        return "the device did not open";
    if (!roundTrip(handle.get(), data, back))
        return "the round trip failed or brought back other data";
    handle.close();
    sim::PnpManager& pnp = machine.system().pnp();
    if (pnp.surpriseRemove(node) != STATUS_SUCCESS)
        return "the surprise removal failed";
    if (pnp.removeDevice(node) != STATUS_SUCCESS)
        return "the removal failed";
    return nullptr;
}

void BM_Lifecycle(benchmark::State& state) {
    sim::app::SimulatedMachine machine(DriverEntry);
    {
        const std::vector<std::uint8_t> bytes = pattern(64 << 10);
        UserBuffer data(bytes.size());
        UserBuffer back(bytes.size());
        if (!data.ok() || !back.ok())
            state.SkipWithError("no user-space buffers");
        else
            std::copy(bytes.begin(), bytes.end(), data.bytes().begin());
        for (auto _ : state) {
            if (const char* error = lifecycle(machine, data.bytes(), back.bytes())) {
                state.SkipWithError(error);
                break;
            }
        }
    }
    state.counters["lifecycles_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    reportFindings(state, machine.finish());
}

BENCHMARK(BM_Lifecycle)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace wdmusb::bench
