// Descriptors: any device and configuration descriptor bytes a device returns at start, of any
// length, well-formed or not. Each input plugs (the first) or adds again (the others) the driver
// above one device answering with its bytes, starts it, and when the start succeeded reads the
// configuration descriptor through the control code and moves data through the pipes the driver
// chose; then removes the driver as the platform would. A failed start is a fine outcome (the
// bus refusing endpoints it cannot schedule, the driver a configuration whose pipes it cannot move
// data with, ...); what succeeds must return what the device holds, and nothing may be left
// behind.
//
// An input: the device descriptor's length (1), its bytes, then the configuration descriptor's
// bytes (the rest, at most kMaxConfigurationBytes). Runs of pool fill in them are broken (below).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "fuzz/support/fuzz_bytes.h"
#include "fuzz/support/fuzz_machine.h"
#include "public/wdmusb.h"
#include "sim/memory/pool.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/descriptor_device.h"
#include "tests/support/application.h"

namespace {

using wdmusb::fuzz::FuzzBytes;
using wdmusb::fuzz::FuzzMachine;

constexpr std::size_t kMaxDeviceBytes = 64;
constexpr std::size_t kMaxConfigurationBytes = 2048;
constexpr DWORD kDataBytes = 100;

// The loopback device with descriptors an input sets: one device (one PDO) for the whole run.
class FuzzedDescriptors : public sim::usb::LoopbackDevice {
public:
    void set(std::vector<std::uint8_t> device, std::vector<std::uint8_t> configuration) {
        std::lock_guard lock(mutex_);
        device_ = std::move(device);
        configuration_ = std::move(configuration);
    }
    std::vector<std::uint8_t> deviceDescriptor() override {
        std::lock_guard lock(mutex_);
        return device_;
    }
    std::vector<std::uint8_t> configurationDescriptor(UCHAR index) override {
        std::lock_guard lock(mutex_);
        return index == 0 ? configuration_ : std::vector<std::uint8_t>{};
    }
    std::vector<std::uint8_t> configuration() {
        std::lock_guard lock(mutex_);
        return configuration_;
    }
    // The speed the fuzzed device descriptor suggests, so that full-speed packet sizes can start.
    sim::usb::UsbSpeed speed() override {
        std::lock_guard lock(mutex_);
        return sim::usb::DescriptorDevice::speedSuggestedBy(device_);
    }

private:
    std::mutex mutex_;
    std::vector<std::uint8_t> device_;
    std::vector<std::uint8_t> configuration_;
};

struct DescriptorRun {
    std::shared_ptr<FuzzedDescriptors> model = std::make_shared<FuzzedDescriptors>();
    sim::DeviceNode* node = nullptr;
};

// The verifier takes a run of pool fill in what a control code returns for pool memory nobody
// wrote; a device's bytes copied there cannot be told from it, so the device never sends a run.
void breakFillRuns(std::vector<std::uint8_t>& bytes) {
    std::size_t run = 0;
    for (std::uint8_t& b : bytes) {
        run = b == sim::Pool::kFreshFill || b == sim::Pool::kFreedFill ? run + 1 : 0;
        if (run == sim::Pool::kPoisonRunBytes) {
            b = 0;
            run = 0;
        }
    }
}

// Adds the driver above the device (plugging it at the first input) and starts it.
sim::DeviceNode& addAndStart(DescriptorRun& run) {
    sim::app::SimulatedMachine& machine = FuzzMachine::get().machine();
    sim::PnpManager& pnp = machine.system().pnp();
    if (run.node == nullptr)
        run.node = &pnp.plug(machine.bus(), machine.driver(), run.model);
    else
        pnp.add(machine.driver(), run.node->pdo);
    if (NT_SUCCESS(run.node->addStatus))
        pnp.start(*run.node);
    return *run.node;
}

// The configuration descriptor through the control code: the first bytes of what the device holds.
void checkConfiguration(HANDLE handle, const std::vector<std::uint8_t>& held) {
    std::vector<std::uint8_t> out(kMaxConfigurationBytes + 16);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(handle, IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0,
                                    out.data(), static_cast<DWORD>(out.size()), &returned, nullptr);
    if (!ok && GetLastError() != ERROR_MORE_DATA)
        return;
    if (returned > held.size())
        FuzzMachine::fail("more configuration bytes returned than the device holds");
    wdmusb::fuzz::expectSame(std::span(out).first(returned), std::span(held).first(returned),
                             "configuration descriptor");
}

// Bytes written come back on a read, as far as both succeed.
void checkData(HANDLE handle) {
    std::vector<std::uint8_t> written(kDataBytes);
    for (std::size_t i = 0; i < written.size(); ++i)
        written[i] = static_cast<std::uint8_t>(i * 13 + 5);
    DWORD moved = 0;
    if (!WriteFile(handle, written.data(), kDataBytes, &moved, nullptr) || moved == 0)
        return; // a read now would wait for data that is not coming
    if (moved > kDataBytes)
        FuzzMachine::fail("a write moved more bytes than it was given");
    std::vector<std::uint8_t> read(moved);
    DWORD got = 0;
    if (!ReadFile(handle, read.data(), moved, &got, nullptr))
        return;
    if (got > moved)
        FuzzMachine::fail("a read returned more bytes than it asked for");
    wdmusb::fuzz::expectSame(std::span(read).first(got), std::span(written).first(got),
                             "read after write");
}

void useStartedDevice(FuzzedDescriptors& model) {
    const auto paths = wdmusb::test::devicePaths(GUID_DEVINTERFACE_WDMUSB);
    if (paths.empty())
        FuzzMachine::fail("a started device has no enabled interface");
    const HANDLE handle = CreateFileA(paths.front().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    checkConfiguration(handle, model.configuration());
    checkData(handle);
    CloseHandle(handle);
}

// The driver leaves as the platform makes it: the removal after a failed start, query-remove and
// removal after a successful one.
void removeDriver(sim::DeviceNode& node) {
    sim::PnpManager& pnp = FuzzMachine::get().machine().system().pnp();
    if (node.state == sim::DeviceNodeState::StartFailed) {
        pnp.removeDevice(node);
    } else if (node.state == sim::DeviceNodeState::Started) {
        if (pnp.remove(node).outcome != sim::RemoveOutcome::Removed)
            FuzzMachine::fail("the driver refused the removal of an idle device");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static DescriptorRun run;
    FuzzMachine& machine = FuzzMachine::get();
    machine.beginBareInput();
    FuzzBytes in(bytes, size);
    std::vector<std::uint8_t> device(std::min<std::size_t>(in.byte(), kMaxDeviceBytes));
    in.fill(device);
    std::vector<std::uint8_t> configuration(std::min(in.remaining(), kMaxConfigurationBytes));
    in.fill(configuration);
    breakFillRuns(device);
    breakFillRuns(configuration);
    run.model->set(std::move(device), std::move(configuration));
    run.model->control({sim::usb::kRequestTypeVendorOut, FuzzedDescriptors::kRequestClearQueue},
                       {});

    sim::DeviceNode& node = addAndStart(run);
    if (node.state == sim::DeviceNodeState::Started)
        useStartedDevice(*run.model);
    removeDriver(node);
    machine.endInput();
    return 0;
}
