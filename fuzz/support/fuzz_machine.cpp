#include "fuzz/support/fuzz_machine.h"

#include <array>
#include <cstdio>

#include "driver/dispatch.h"
#include "public/wdmusb.h"
#include "sim/io/io_manager.h"
#include "sim/memory/mdl_table.h"
#include "sim/memory/pool.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus_device.h"
#include "sim/usb/host_controller.h"
#include "tests/support/application.h"

namespace wdmusb::fuzz {

namespace {

// Everything the kernel holds for the machine as it stands: pool, IRPs, MDLs.
std::size_t heldObjects(sim::System& system) {
    return system.pool().liveCount() + system.io().liveIrpCount() + system.mdls().liveCount();
}

} // namespace

FuzzMachine& FuzzMachine::get() {
    // Kept for the whole process: libFuzzer ends it with exit(), and the machine's threads must
    // not be taken down under a running input.
    static FuzzMachine* machine = new FuzzMachine();
    return *machine;
}

FuzzMachine::FuzzMachine() : machine_(DriverEntry) {
    if (!NT_SUCCESS(machine_.driverEntryStatus()))
        fail("DriverEntry failed");
    machine_.bus().controller().setMode(sim::usb::CompletionMode::Inline);
}

sim::usb::LoopbackDevice& FuzzMachine::loopback() {
    return *model_;
}

bool FuzzMachine::replaceDevice() {
    closeHandle();
    // One model for every device plugged in: the bus keeps the devices of its latest deleted PDOs
    // (a few hundred), and a model's queue would otherwise cost a megabyte per plug.
    if (model_ == nullptr)
        model_ = std::make_shared<sim::usb::LoopbackDevice>(kQueueBytes);
    device_ = &machine_.plugDevice(model_);
    return device_->startStatus == STATUS_SUCCESS;
}

HANDLE FuzzMachine::handle() {
    if (handle_ == INVALID_HANDLE_VALUE) {
        const auto paths = test::devicePaths(GUID_DEVINTERFACE_WDMUSB);
        if (!paths.empty())
            handle_ = CreateFileA(paths.front().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, overlapped_ ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    }
    return handle_;
}

void FuzzMachine::closeHandle() {
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

void FuzzMachine::beginInput() {
    if (device_ == nullptr && !replaceDevice())
        fail("the loopback device did not start");
    sim::usb::LoopbackDevice& device = loopback();
    const std::array<std::uint8_t, sim::usb::LoopbackDevice::kMemoryBytes> zeros{};
    device.setMemory(0, zeros);
    if (handle() == INVALID_HANDLE_VALUE)
        fail("the loopback device cannot be opened");
    poolBaseline_ = heldObjects(machine_.system());
}

void FuzzMachine::beginBareInput() {
    poolBaseline_ = heldObjects(machine_.system());
}

void FuzzMachine::endInput() {
    sim::System& system = machine_.system();
    if (!system.verifier().empty())
        fail("the verifier found a misuse of the platform (above)");
    const std::size_t held = heldObjects(system);
    if (held != poolBaseline_) {
        system.pool().reportLeaks("by this input");
        system.mdls().reportLeaks("by this input");
        std::fprintf(stderr, "kernel objects held: %zu before the input, %zu after\n",
                     poolBaseline_, held);
        fail("the input left kernel objects behind");
    }
}

void FuzzMachine::fail(std::string_view what) {
    std::fprintf(stderr, "fuzz: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

void expectSame(std::span<const std::uint8_t> got, std::span<const std::uint8_t> expected,
                std::string_view what) {
    if (got.size() != expected.size() || !std::equal(got.begin(), got.end(), expected.begin())) {
        std::fprintf(stderr, "fuzz: %.*s: %zu bytes returned differ from the %zu expected\n",
                     static_cast<int>(what.size()), what.data(), got.size(), expected.size());
        std::abort();
    }
}

} // namespace wdmusb::fuzz
