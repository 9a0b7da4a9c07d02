// IRP_MJ_POWER on the bus driver's PDOs: the device's power state, the answers to set-power and
// query-power, and the wait-wake IRP it keeps pending.
#include <atomic>
#include <utility>

#include "sim/sync/dispatcher.h"
#include "sim/usb/bus_device.h"
#include "sim/usb/bus_driver.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/status_map.h"

namespace sim::usb {

namespace {

bool isSuspended(DEVICE_POWER_STATE state) {
    return state >= PowerDeviceD1 && state <= PowerDeviceD3;
}

void NTAPI cancelWaitWake(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    BusDevice* device = BusDriver::deviceOf(pdo);
    if (device != nullptr && device->takeWaitWake(irp) != nullptr)
        device->completeRequest(irp, STATUS_CANCELLED);
}

} // namespace

DEVICE_POWER_STATE BusDevice::devicePowerState() const {
    std::lock_guard lock(mutex_);
    return powerState_;
}

bool BusDevice::suspended() const {
    return isSuspended(devicePowerState());
}

void BusDevice::setDevicePower(DEVICE_POWER_STATE state) {
    DEVICE_POWER_STATE before = PowerDeviceUnspecified;
    {
        std::lock_guard lock(mutex_);
        before = std::exchange(powerState_, state);
    }
    {
        std::lock_guard model(modelMutex_);
        model_->powerChanged(state);
    }
    // A port that suspends ends what was under way on it.
    if (isSuspended(state) && !isSuspended(before))
        failInFlight(USBD_STATUS_DEV_NOT_RESPONDING, kStatusDevicePoweredOff);
}

NTSTATUS BusDevice::answerPower(PIRP irp, bool pended) {
    const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(irp);
    const PowerAnswer answer =
        powerAnswers_.take(stack.MinorFunction, stack.Parameters.Power.Type,
                           static_cast<ULONG>(stack.Parameters.Power.State.DeviceState));
    if (answer.reply == PowerReply::Now) {
        finishPower(irp, answer.status);
        return pended ? STATUS_PENDING : answer.status;
    }
    if (!pended)
        IoMarkIrpPending(irp);
    if (answer.reply == PowerReply::Later) {
        controller().post([this, irp, status = answer.status] { finishPower(irp, status); });
    } else {
        std::lock_guard lock(mutex_);
        heldPower_.push_back(HeldPower{irp, answer.status});
    }
    return STATUS_PENDING;
}

// The device's next power IRP may come once this one is answered, as a bus driver that completes
// its power IRPs one at a time lets it.
void BusDevice::finishPower(PIRP irp, NTSTATUS status) {
    const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(irp);
    if (NT_SUCCESS(status) && stack.MinorFunction == IRP_MN_SET_POWER &&
        stack.Parameters.Power.Type == DevicePowerState)
        setDevicePower(stack.Parameters.Power.State.DeviceState);
    PoStartNextPowerIrp(irp);
    completeRequest(irp, status);
}

std::size_t BusDevice::releasePower() {
    std::vector<HeldPower> held;
    {
        std::lock_guard lock(mutex_);
        held.swap(heldPower_);
    }
    AtDispatchLevel dpc;
    for (const HeldPower& h : held)
        finishPower(h.irp, h.status);
    return held.size();
}

std::size_t BusDevice::heldPowerCount() const {
    std::lock_guard lock(mutex_);
    return heldPower_.size();
}

NTSTATUS BusDevice::holdWaitWake(PIRP irp) {
    bool busy = false;
    {
        std::lock_guard lock(mutex_);
        busy = waitWake_ != nullptr; // one wait-wake at a time (the platform's rule for a PDO)
        if (!busy) {
            IoMarkIrpPending(irp);
            waitWake_ = irp;
            IoSetCancelRoutine(irp, &cancelWaitWake);
            const bool cancelled = std::atomic_ref<BOOLEAN>(irp->Cancel).load() != FALSE;
            if (!cancelled || IoSetCancelRoutine(irp, nullptr) == nullptr)
                return STATUS_PENDING; // if cancelled, the running cancel routine completes it
            waitWake_ = nullptr;
        }
    }
    completeRequest(irp, busy ? STATUS_DEVICE_BUSY : STATUS_CANCELLED);
    return busy ? STATUS_DEVICE_BUSY : STATUS_PENDING;
}

PIRP BusDevice::takeWaitWake(PIRP irp) {
    std::lock_guard lock(mutex_);
    if (waitWake_ == nullptr || (irp != nullptr && waitWake_ != irp))
        return nullptr;
    PIRP taken = waitWake_;
    waitWake_ = nullptr;
    return taken;
}

bool BusDevice::waitWakePending() const {
    std::lock_guard lock(mutex_);
    return waitWake_ != nullptr;
}

bool BusDevice::signalWake(NTSTATUS status) {
    PIRP irp = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (waitWake_ == nullptr || IoSetCancelRoutine(waitWake_, nullptr) == nullptr)
            return false; // none, or its cancel routine is completing it
        irp = waitWake_;
        waitWake_ = nullptr;
    }
    completeRequest(irp, status);
    return true;
}

} // namespace sim::usb
