// What the driver's power tests share: a started device whose PDO reports the capabilities the
// test chose, the set-power IRPs that PDO saw, and a stand-in for an application's handle.
//
// Until open and close exist, openHandle and closeHandle do for the power policy what
// DispatchCreate and DispatchClose will: bind or unbind both pipes, then call the policy with a
// dispatch routine's reference held. Replace them with real opens and closes once those land.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "driver/io_reference.h"
#include "power/idle_policy.h"
#include "tests/driver/driver_on_bus.h"
#include "tests/support/eventually.h"
#include "tests/sim/power/power_fixture.h"
#include "usb/pipe_marker.h"

namespace wdmusb::test {

using Seen = std::vector<std::string>;

class DriverPowerTest : public DriverOnBusTest, public sim::usb::BusObserver {
protected:
    void SetUp() override {
        DriverOnBusTest::SetUp();
        bus_.addObserver(this);
    }
    void TearDown() override {
        bus_.removeObserver(this);
        DriverOnBusTest::TearDown();
    }

    // The set-power IRPs the PDOs received since the last call, in order: "D2" for a device
    // state ("D?" for one out of D0-D3), "S3" for a system state (S0 working ... S5 shutdown).
    Seen seen() {
        std::lock_guard lock(seenMutex_);
        return std::exchange(seen_, {});
    }

    // Plugs the loopback device with its sleep states mapped to `idle` (which makes it the idle
    // state if D1 or D2), lets `edit` change its capabilities, adds the driver and starts it.
    sim::DeviceNode& startWith(DEVICE_POWER_STATE idle,
                               const std::function<void(DEVICE_CAPABILITIES&)>& edit = {}) {
        sim::usb::BusDevice& device = bus_.plug();
        DEVICE_CAPABILITIES caps = device.capabilities();
        for (const SYSTEM_POWER_STATE s :
             {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3})
            caps.DeviceState[s] = idle;
        if (edit)
            edit(caps);
        device.setCapabilities(caps);
        sim::DeviceNode& node = system_.pnp().add(driver_, device.pdo());
        node.busDevice = &device;
        EXPECT_EQ(system_.pnp().start(node), STATUS_SUCCESS);
        seen();
        return node;
    }

    static NTSTATUS openHandle(PDEVICE_OBJECT fdo) { return bindAndUpdate(fdo, TRUE); }
    static NTSTATUS closeHandle(PDEVICE_OBJECT fdo) { return bindAndUpdate(fdo, FALSE); }

    // A wait-wake sent to the node's stack, once the driver has passed it to the PDO (or has
    // refused it).
    std::shared_ptr<sim::WaitWakeRequest> sendWaitWake(sim::DeviceNode& node) {
        auto wake = system_.power().sendWaitWake(node.pdo);
        EXPECT_TRUE(eventually([&] { return wake->done() || node.busDevice->waitWakePending(); }));
        return wake;
    }

private:
    static NTSTATUS bindAndUpdate(PDEVICE_OBJECT fdo, BOOLEAN open) {
        ScopedIoReference reference(fdo);
        const PDEVICE_EXTENSION ext = GetExtension(fdo);
        for (ULONG i = 0; i < 2; ++i) {
            PUSBD_PIPE_INFORMATION pipe = &ext->InterfaceInformation->Pipes[i];
            if (open && TryBindPipe(pipe))
                InterlockedIncrement(&ext->OpenPipeCount);
            else if (!open && TryUnbindPipe(pipe))
                InterlockedDecrement(&ext->OpenPipeCount);
        }
        return UpdateIdlePowerState(fdo, !open);
    }

    void onSubmit(sim::usb::BusDevice&, const URB&, PIRP) override {}
    void onComplete(sim::usb::BusDevice&, const URB&, PIRP, NTSTATUS) override {}
    void onRequest(sim::usb::BusDevice&, PIRP irp) override {
        const IO_STACK_LOCATION& s = *IoGetCurrentIrpStackLocation(irp);
        if (s.MajorFunction != IRP_MJ_POWER || s.MinorFunction != IRP_MN_SET_POWER)
            return;
        const auto number = static_cast<LONG>(s.Parameters.Power.State.DeviceState) - 1;
        const bool device = s.Parameters.Power.Type == DevicePowerState;
        std::lock_guard lock(seenMutex_);
        seen_.push_back((device ? "D" : "S") +
                        (number >= 0 && number <= (device ? 3 : 5) ? std::to_string(number) : "?"));
    }

    std::mutex seenMutex_;
    Seen seen_;
};

} // namespace wdmusb::test
