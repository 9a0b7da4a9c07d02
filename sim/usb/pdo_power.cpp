// IRP_MJ_POWER on the bus driver's PDOs, and the wait-wake IRP it keeps pending.
#include <atomic>

#include "sim/usb/bus_device.h"
#include "sim/usb/bus_driver.h"

namespace sim::usb {

namespace {

void NTAPI cancelWaitWake(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    BusDevice* device = BusDriver::deviceOf(pdo);
    if (device != nullptr && device->takeWaitWake(irp) != nullptr)
        device->completeRequest(irp, STATUS_CANCELLED);
}

} // namespace

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
