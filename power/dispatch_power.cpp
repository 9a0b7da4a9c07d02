// Power dispatch: the routing by minor code, and device set-power.
//
// Each power IRP holds an outstanding-request reference for as long as the driver has a part in
// it: a device power-up until PowerUpCompletion, a system set-power held for its device request
// until that request has completed, a wait-wake until it has come back up; any other IRP until it
// has been passed down.
#include "power/dispatch_power.h"
#include "power/power_requests.h"
#include "driver/forward.h"

namespace {

// A power-down is recorded on its way down and needs nothing on the way up. A power-up is recorded
// by its completion routine, which also makes it a success and gives back the reference. That
// routine changes the status the lower drivers completed the IRP with, so this routine's return
// could disagree with it: the IRP is marked pending first and STATUS_PENDING returned.
NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT Fdo, PIRP Irp, ScopedIoReference& Reference) {
    const DEVICE_POWER_STATE state =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
    if (!RecordDevicePowerState(Fdo, state))
        return PassPowerIrpDown(Fdo, Irp);

    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, PowerUpCompletion, Fdo, TRUE, TRUE, TRUE);
    Reference.HandOff();
    PoStartNextPowerIrp(Irp);
    PoCallDriver(GetExtension(Fdo)->LowerDeviceObject, Irp);
    return STATUS_PENDING;
}

} // namespace

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT Fdo, PIRP Irp) {
    ScopedIoReference reference(Fdo);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        return HandleWaitWake(Fdo, Irp);
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState)
            return HandleDeviceSetPower(Fdo, Irp, reference);
        return HandleSystemSetPower(Fdo, Irp, reference);
    default:
        return PassPowerIrpDown(Fdo, Irp);
    }
}

BOOLEAN RecordDevicePowerState(PDEVICE_OBJECT Fdo, DEVICE_POWER_STATE State) {
    switch (State) {
    case PowerDeviceD0:
        return TRUE;
    case PowerDeviceD1:
    case PowerDeviceD2:
    case PowerDeviceD3:
        WriteShared(GetExtension(Fdo)->CurrentDevicePowerState, State);
        return FALSE;
    default:
        return FALSE;
    }
}

NTSTATUS NTAPI PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    const PDEVICE_OBJECT fdo = static_cast<PDEVICE_OBJECT>(Context);
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    WriteShared(GetExtension(fdo)->CurrentDevicePowerState, PowerDeviceD0);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    ReleaseIoReference(fdo); // the last use of the extension
    return STATUS_SUCCESS;
}
