// Memory: the simulated pool's bytes held by a started device, by an open handle and by a 64 KiB
// request in flight (all its chunks sent), of the driver's tag and of every tag, beside the sizes
// of the driver's records they are made of. The figures do not vary from run to run.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_machine.h"
#include "driver/dispatch.h"
#include "driver/extension.h"
#include "driver/pool.h"
#include "sim/usb/loopback_device.h"

namespace wdmusb::bench {
namespace {

// Pool bytes, of the driver's tag and of all tags, at one moment.
struct PoolSnapshot {
    std::size_t driver = poolBytes(WDMUSB_POOL_TAG);
    std::size_t all = poolBytes();
};

void countDelta(benchmark::State& state, const char* what, const PoolSnapshot& before) {
    const PoolSnapshot after;
    state.counters[std::string(what) + "_driver_B"] =
        static_cast<double>(after.driver - before.driver);
    state.counters[std::string(what) + "_all_B"] = static_cast<double>(after.all - before.all);
}

// A 64 KiB read with nothing to read yet: every chunk waits in the controller until the device
// is given the data.
bool measureRequestInFlight(benchmark::State& state, sim::app::SimulatedMachine& machine,
                            sim::DeviceNode& node, HANDLE handle) {
    constexpr DWORD kBytes = 64 << 10;
    constexpr std::size_t kChunks = kBytes / WDMUSB_MAXIMUM_TRANSFER_SIZE;
    std::vector<std::uint8_t> buffer(kBytes);
    OVERLAPPED overlapped{};
    const PoolSnapshot before;
    if (ReadFile(handle, buffer.data(), kBytes, nullptr, &overlapped) ||
        GetLastError() != ERROR_IO_PENDING)
        return false;
    const bool allSent = machine.bus().controller().waitForInFlight(kChunks);
    if (allSent)
        countDelta(state, "request64K", before);
    const std::vector<std::uint8_t> data = pattern(kBytes);
    node.busDevice->modelAs<sim::usb::LoopbackDevice>().queueData(data);
    DWORD bytes = 0;
    return GetOverlappedResult(handle, &overlapped, &bytes, TRUE) && bytes == kBytes &&
           buffer == data && allSent;
}

void BM_Memory(benchmark::State& state) {
    for (auto _ : state) {
        sim::app::SimulatedMachine machine(DriverEntry);
        const PoolSnapshot loaded;
        sim::DeviceNode& node = machine.plugDevice();
        if (node.startStatus != STATUS_SUCCESS) {
            state.SkipWithError("the device did not start");
            break;
        }
        countDelta(state, "device", loaded);
        const PoolSnapshot started;
        test::AppHandle handle = test::openDevice(GUID_DEVINTERFACE_WDMUSB, FILE_FLAG_OVERLAPPED);
        countDelta(state, "handle", started);
        if (!handle.valid() || !measureRequestInFlight(state, machine, node, handle.get()))
            state.SkipWithError(
                "the read did not wait with every chunk in flight, or read other data");
        handle.close();
        reportFindings(state, machine.finish());
    }
    state.counters["sizeof_DEVICE_EXTENSION"] = sizeof(DEVICE_EXTENSION);
    state.counters["sizeof_CHUNK_CONTEXT"] = sizeof(CHUNK_CONTEXT);
    state.counters["sizeof_URB_BULK"] = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
}

BENCHMARK(BM_Memory)->Iterations(1);

} // namespace
} // namespace wdmusb::bench
