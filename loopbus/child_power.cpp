// The child PDO's power requests: device and system power changes succeed (the loopback device
// keeps its data across them); a wait-wake request stays pending, one at a time, until it is
// cancelled or the PDO is removed.
#include "loopbus/loopbus.h"
#include "loopbus/pool.h"

namespace {

void NTAPI CancelWaitWake(PDEVICE_OBJECT Pdo, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    CHILD_EXTENSION* child = ChildOf(Pdo);
    BOOLEAN ours = FALSE;
    {
        BusLockGuard lock(child->Bus);
        if (child->WaitWake == Irp) {
            child->WaitWake = nullptr;
            ours = TRUE;
        }
    }
    if (ours)
        CompleteIrp(Irp, STATUS_CANCELLED);
}

NTSTATUS HoldWaitWake(CHILD_EXTENSION* Child, PIRP Irp) {
    NTSTATUS refusal = STATUS_SUCCESS;
    {
        BusLockGuard lock(Child->Bus);
        if (Child->WaitWake != nullptr) {
            refusal = STATUS_DEVICE_BUSY;
        } else if (Child->Gone) {
            refusal = STATUS_NO_SUCH_DEVICE;
        } else {
            IoMarkIrpPending(Irp);
            Child->WaitWake = Irp;
            IoSetCancelRoutine(Irp, CancelWaitWake);
            // Cancelled before the routine was set: take it back unless the routine runs already.
            if (!Irp->Cancel || IoSetCancelRoutine(Irp, nullptr) == nullptr)
                return STATUS_PENDING;
            Child->WaitWake = nullptr;
            refusal = STATUS_CANCELLED;
        }
    }
    CompleteIrp(Irp, refusal);
    return refusal == STATUS_CANCELLED ? STATUS_PENDING : refusal;
}

} // namespace

void FailWaitWake(CHILD_EXTENSION* Child, NTSTATUS Status) {
    PIRP irp = nullptr;
    {
        BusLockGuard lock(Child->Bus);
        if (Child->WaitWake != nullptr && IoSetCancelRoutine(Child->WaitWake, nullptr) != nullptr) {
            irp = Child->WaitWake;
            Child->WaitWake = nullptr;
        }
    }
    if (irp != nullptr)
        CompleteIrp(irp, Status);
}

NTSTATUS ChildDispatchPower(PDEVICE_OBJECT Pdo, PIRP Irp) {
    CHILD_EXTENSION* child = ChildOf(Pdo);
    {
        BusLockGuard lock(child->Bus);
        ++child->Bus->Counts.PowerRequests;
    }
    PoStartNextPowerIrp(Irp);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(Pdo, DevicePowerState, stack->Parameters.Power.State);
        return CompleteIrp(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_POWER:
        return CompleteIrp(Irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE:
        return HoldWaitWake(child, Irp);
    default: {
        const NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    }
}
