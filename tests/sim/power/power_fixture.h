// What the power manager's tests share: power IRPs sent as the power manager sends its own, and
// test-driver handlers that pass power IRPs on or hold them.
#pragma once

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

struct SentPower {
    NTSTATUS returned = 0; // what PoCallDriver returned
    KEVENT done{};         // set when completed to the top
    IO_STATUS_BLOCK status{};

    bool finished() { return KeReadStateEvent(&done) != 0; }
    NTSTATUS wait() {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return status.Status;
    }
};

// A set-power IRP for `state` (a wait-wake from that system state with IRP_MN_WAIT_WAKE), preset
// as the power manager presets its own, passed to `target` with PoCallDriver.
inline std::shared_ptr<SentPower> sendPower(PDEVICE_OBJECT target, POWER_STATE_TYPE type,
                                            ULONG state, UCHAR minor = IRP_MN_SET_POWER) {
    sim::IoManager& io = sim::current().io();
    auto sent = std::make_shared<SentPower>();
    KeInitializeEvent(&sent->done, NotificationEvent, FALSE);
    PIRP irp = io.allocateIrp(target->StackSize, sim::IrpOrigin::Power, SimCallSite::current());
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    io.setTopCompletion(irp, [sent](PIRP finished) {
        sent->status = finished->IoStatus;
        KeSetEvent(&sent->done, IO_NO_INCREMENT, FALSE);
    });
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = static_cast<SYSTEM_POWER_STATE>(state);
    } else {
        next->Parameters.Power.Type = type;
        next->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
    }
    sent->returned = PoCallDriver(target, irp);
    return sent;
}

// A device's handler that keeps every power IRP pending, in arrival order, until finish().
class PowerHolder {
public:
    IrpHandler handler() {
        return [this](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            std::lock_guard lock(mutex_);
            held_.push_back(irp);
            irql_ = sim::currentIrql();
            thread_ = std::this_thread::get_id();
            return STATUS_PENDING;
        };
    }
    std::vector<PIRP> held() const {
        std::lock_guard lock(mutex_);
        return held_;
    }
    // Waits up to 10 s for `n` IRPs to have arrived.
    bool waitFor(std::size_t n) const {
        for (int i = 0; i < 1000 && held().size() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return held().size() >= n;
    }
    // The IRQL and thread the last IRP arrived at.
    std::pair<KIRQL, std::thread::id> lastArrival() const {
        std::lock_guard lock(mutex_);
        return {irql_, thread_};
    }
    static void finish(PIRP irp, NTSTATUS status = STATUS_SUCCESS) {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

private:
    mutable std::mutex mutex_;
    std::vector<PIRP> held_;
    KIRQL irql_ = PASSIVE_LEVEL;
    std::thread::id thread_;
};

// An upper device's handler: the platform's way of passing a power IRP down.
inline IrpHandler passPowerDown(PDEVICE_OBJECT* lower) {
    return [lower](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        return PoCallDriver(*lower, irp);
    };
}

} // namespace wdmusb::test
