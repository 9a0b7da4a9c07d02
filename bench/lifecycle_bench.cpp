// A device's whole life, single thread: added and started, opened, 64 KiB written and read back
// (checked), closed, surprise-removed, removed. One driver and one bus serve every lifecycle,
// as they would serve a device plugged in and out again and again. Run with the host
// controller's threads (the default) and with every transfer completed inline, each with the
// verifier on and off; the CPU time is the whole process's, and the context switches of every
// thread are counted.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>

#include "bench/bench_machine.h"
#include "driver/dispatch.h"
#include "sim/core/system.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/host_controller.h"

namespace wdmusb::bench {
namespace {

// One lifecycle; an error text, or nullptr when every step did what it should.
const char* lifecycle(sim::app::SimulatedMachine& machine, RoundTrips& trips) {
    sim::DeviceNode& node = machine.plugDevice();
    if (node.startStatus != STATUS_SUCCESS)
        return "the device did not start";
    test::AppHandle handle = test::openDevice(GUID_DEVINTERFACE_WDMUSB);
    if (!handle.valid())
        return "the device did not open";
    if (!trips.next(handle.get()))
        return "the round trip failed or brought back other data";
    handle.close();
    sim::PnpManager& pnp = machine.system().pnp();
    if (pnp.surpriseRemove(node) != STATUS_SUCCESS)
        return "the surprise removal failed";
    if (pnp.removeDevice(node) != STATUS_SUCCESS)
        return "the removal failed";
    return nullptr;
}

// Context switches of the whole process so far, voluntary or not.
double contextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw);
}

// Arguments: inline (1: every transfer completed inline, 0: the controller's threads), verifier.
void BM_Lifecycle(benchmark::State& state) {
    sim::app::SimulatedMachine machine(DriverEntry, verifierArg(state.range(1)));
    if (state.range(0) != 0)
        machine.bus().controller().setMode(sim::usb::CompletionMode::Inline);
    double switches = 0;
    {
        RoundTrips trips(64 << 10);
        if (!trips.ok())
            state.SkipWithError("no user-space buffers");
        const double before = contextSwitches();
        for (auto _ : state) {
            if (const char* error = lifecycle(machine, trips)) {
                state.SkipWithError(error);
                break;
            }
        }
        switches = contextSwitches() - before;
    }
    state.counters["lifecycles_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["switches_per_lifecycle"] =
        switches / static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    reportFindings(state, machine.finish());
}

BENCHMARK(BM_Lifecycle)
    ->ArgNames({"inline", "verifier"})
    ->ArgsProduct({{0, 1}, {1, 0}})
    ->Unit(benchmark::kMicrosecond)
    ->MeasureProcessCPUTime();
// Fixed counts of lifecycles, for counting system calls from outside (bench/report runs each alone
// under perf or strace: the difference of the two is what 100 lifecycles cost).
BENCHMARK(BM_Lifecycle)
    ->Name("BM_LifecycleCounted")
    ->ArgNames({"inline", "verifier"})
    ->ArgsProduct({{0, 1}, {1}})
    ->Iterations(10);
BENCHMARK(BM_Lifecycle)
    ->Name("BM_LifecycleCounted")
    ->ArgNames({"inline", "verifier"})
    ->ArgsProduct({{0, 1}, {1}})
    ->Iterations(110);

} // namespace
} // namespace wdmusb::bench
