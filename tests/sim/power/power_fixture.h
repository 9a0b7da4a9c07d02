// What the power manager's tests share: power IRPs sent the way the power manager sends its own,
// and test-driver handlers that pass power IRPs on, hold them, or record how they arrived.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/core/system.h"
#include "sim/io/io_manager.h"
#include "sim/power/power_manager.h"
#include "sim/sync/dispatcher.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_driver.h"

namespace wdmusb::test {

// A power IRP on its way; `done` is set when it has been completed to the top.
struct SentPower {
    PIRP irp = nullptr;
    NTSTATUS returned = 0; // what PoCallDriver returned
    KEVENT done{};
    IO_STATUS_BLOCK status{};

    bool finished() { return KeReadStateEvent(&done) != 0; }
    NTSTATUS wait() {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return status.Status;
    }
};

// Builds a power IRP for the stack `target` is the top of, status preset as the power manager
// presets it, and passes it to `target` with PoCallDriver. `state` is a device or system state
// (by `type`), or the system state to wake from for IRP_MN_WAIT_WAKE.
inline std::shared_ptr<SentPower> sendPower(PDEVICE_OBJECT target, UCHAR minor,
                                            POWER_STATE_TYPE type, ULONG state) {
    sim::IoManager& io = sim::current().io();
    auto sent = std::make_shared<SentPower>();
    KeInitializeEvent(&sent->done, NotificationEvent, FALSE);
    sent->irp = io.allocateIrp(target->StackSize, sim::IrpOrigin::Power, SimCallSite::current());
    sent->irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    io.setTopCompletion(sent->irp, [sent](PIRP finished) {
        sent->status = finished->IoStatus;
        KeSetEvent(&sent->done, IO_NO_INCREMENT, FALSE);
    });
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(sent->irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = static_cast<SYSTEM_POWER_STATE>(state);
    } else {
        next->Parameters.Power.Type = type;
        next->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
    }
    sent->returned = PoCallDriver(target, sent->irp);
    return sent;
}

inline std::shared_ptr<SentPower> setDevicePower(PDEVICE_OBJECT target, DEVICE_POWER_STATE state) {
    return sendPower(target, IRP_MN_SET_POWER, DevicePowerState, state);
}

// How one power IRP reached a device.
struct PowerArrival {
    PIRP irp = nullptr;
    UCHAR minor = 0;
    POWER_STATE_TYPE type = DevicePowerState;
    ULONG state = 0;
    NTSTATUS status = 0; // the IRP's status as it arrived
    KIRQL irql = PASSIVE_LEVEL;
    std::thread::id thread;
};

// Power IRPs that reached a device, recorded from any thread.
class PowerArrivals {
public:
    void add(PDEVICE_OBJECT, PIRP irp) {
        const IO_STACK_LOCATION& s = *IoGetCurrentIrpStackLocation(irp);
        std::lock_guard lock(mutex_);
        arrivals_.push_back(PowerArrival{irp, s.MinorFunction, s.Parameters.Power.Type,
                                         static_cast<ULONG>(s.Parameters.Power.State.DeviceState),
                                         irp->IoStatus.Status, sim::currentIrql(),
                                         std::this_thread::get_id()});
    }
    std::vector<PowerArrival> all() const {
        std::lock_guard lock(mutex_);
        return arrivals_;
    }
    std::size_t count() const { return all().size(); }
    // Waits (up to 10 s) until `n` IRPs have arrived.
    bool waitFor(std::size_t n) const {
        for (int i = 0; i < 1000 && count() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return count() >= n;
    }

private:
    mutable std::mutex mutex_;
    std::vector<PowerArrival> arrivals_;
};

// A lower device's handler: records each power IRP and keeps it pending until the test takes it
// back with `finish`, which lets the device's next power IRP go and completes the IRP.
class PowerHolder {
public:
    IrpHandler handler() {
        return [this](PDEVICE_OBJECT device, PIRP irp) {
            IoMarkIrpPending(irp);
            arrivals.add(device, irp);
            return STATUS_PENDING;
        };
    }
    static void finish(PIRP irp, NTSTATUS status = STATUS_SUCCESS) {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    PowerArrivals arrivals;
};

// An upper device's handler: the platform's way of passing a power IRP down.
inline IrpHandler passPowerDown(PDEVICE_OBJECT* lower) {
    return [lower](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        return PoCallDriver(*lower, irp);
    };
}

// A device's handler that records the IRP and completes it at once with `status`.
inline IrpHandler answerPower(PowerArrivals& arrivals, NTSTATUS status = STATUS_SUCCESS) {
    return [&arrivals, status](PDEVICE_OBJECT device, PIRP irp) {
        arrivals.add(device, irp);
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

} // namespace wdmusb::test
