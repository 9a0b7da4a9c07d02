// What the driver's power tests share: a started device whose PDO reports the capabilities the
// test chose, what that PDO saw of the set-power IRPs, and a stand-in for an application's handle.
//
// The handle: until open and close exist, openHandle and closeHandle do what DispatchCreate and
// DispatchClose will do for the power policy (bind or unbind both pipes, then call the policy
// with a dispatch routine's outstanding-request reference held). Replace them with real opens
// and closes once those land.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "driver/io_reference.h"
#include "power/idle_policy.h"
#include "sim/power/power_manager.h"
#include "tests/driver/driver_on_bus.h"
#include "tests/sim/power/power_fixture.h"
#include "usb/pipe_marker.h"

namespace wdmusb::test {

using Seen = std::vector<std::string>;

// The set-power IRPs a PDO received, in order: "D2" for a device state (D0-D3, "D?" for any other
// value), "S3" for a system state (S0 working ... S5 shutdown).
class SetPowerSeen : public sim::usb::BusObserver {
public:
    void onSubmit(sim::usb::BusDevice&, const URB&, PIRP) override {}
    void onComplete(sim::usb::BusDevice&, const URB&, PIRP, NTSTATUS) override {}
    void onRequest(sim::usb::BusDevice&, PIRP irp) override {
        const IO_STACK_LOCATION& s = *IoGetCurrentIrpStackLocation(irp);
        if (s.MajorFunction != IRP_MJ_POWER || s.MinorFunction != IRP_MN_SET_POWER)
            return;
        const auto number = static_cast<LONG>(s.Parameters.Power.State.DeviceState) - 1;
        std::string what = s.Parameters.Power.Type == DevicePowerState ? "D" : "S";
        what += (number >= 0 && number <= 5) ? std::to_string(number) : "?";
        std::lock_guard lock(mutex_);
        seen_.push_back(what);
    }
    Seen take() {
        std::lock_guard lock(mutex_);
        return std::exchange(seen_, {});
    }

private:
    std::mutex mutex_;
    Seen seen_;
};

class DriverPowerTest : public DriverOnBusTest {
protected:
    void SetUp() override {
        DriverOnBusTest::SetUp();
        bus_.addObserver(&seen_);
    }
    void TearDown() override {
        bus_.removeObserver(&seen_);
        DriverOnBusTest::TearDown();
    }

    // Capabilities whose sleep-state mappings make `idle` the idle state (D3: none; D0 or
    // unspecified: one the policy does not use).
    static std::function<void(DEVICE_CAPABILITIES&)> idleState(DEVICE_POWER_STATE idle) {
        return [idle](DEVICE_CAPABILITIES& caps) {
            for (const SYSTEM_POWER_STATE s :
                 {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3})
                caps.DeviceState[s] = idle;
        };
    }

    // Plugs the loopback device with its capabilities as `edit` leaves them, adds the driver and
    // starts it.
    sim::DeviceNode& startWith(const std::function<void(DEVICE_CAPABILITIES&)>& edit = {}) {
        sim::usb::BusDevice& device = bus_.plug();
        DEVICE_CAPABILITIES caps = device.capabilities();
        if (edit)
            edit(caps);
        device.setCapabilities(caps);
        sim::DeviceNode& node = system_.pnp().add(driver_, device.pdo());
        node.busDevice = &device;
        EXPECT_EQ(node.addStatus, STATUS_SUCCESS);
        EXPECT_EQ(system_.pnp().start(node), STATUS_SUCCESS);
        seen_.take();
        return node;
    }

    // --- the stand-in for a handle ---------------------------------------------------------------
    static NTSTATUS openHandle(PDEVICE_OBJECT fdo) {
        ScopedIoReference reference(fdo);
        const PDEVICE_EXTENSION ext = GetExtension(fdo);
        for (ULONG i = 0; i < 2; ++i)
            if (TryBindPipe(&ext->InterfaceInformation->Pipes[i]))
                InterlockedIncrement(&ext->OpenPipeCount);
        return UpdateIdlePowerState(fdo, FALSE);
    }
    static NTSTATUS closeHandle(PDEVICE_OBJECT fdo) {
        ScopedIoReference reference(fdo);
        const PDEVICE_EXTENSION ext = GetExtension(fdo);
        for (ULONG i = 0; i < 2; ++i)
            if (TryUnbindPipe(&ext->InterfaceInformation->Pipes[i]))
                InterlockedDecrement(&ext->OpenPipeCount);
        return UpdateIdlePowerState(fdo, TRUE);
    }

    // --- waiting for other threads ---------------------------------------------------------------
    // Polls `done` for up to 10 s.
    static bool eventually(const std::function<bool()>& done) {
        for (int i = 0; i < 1000 && !done(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return done();
    }
    // Sends a wait-wake to the node's stack and waits until the driver has armed the device.
    std::shared_ptr<sim::WaitWakeRequest> arm(sim::DeviceNode& node) {
        auto wake = system_.power().sendWaitWake(node.pdo);
        EXPECT_TRUE(eventually([&] { return node.busDevice->waitWakePending(); }));
        EXPECT_TRUE(extOf(node)->WaitWakeArmed);
        return wake;
    }

    SetPowerSeen seen_;
};

} // namespace wdmusb::test
