// System set-power: the device power state a system state asks for is requested for the device's
// own PDO first, and the system IRP is held until that request has been through the stack (and so
// through this driver's own device set-power handling).
//
// PendingSystemPowerIrp publishes the held IRP; the idle policy stays out while it is set. If the
// device request cannot be made, the system IRP goes down at once all the same: a system
// transition never waits on this device, and the field does not stay set.
#include "power/dispatch_power.h"
#include "power/power_requests.h"
#include "driver/forward.h"

namespace {

// Working wants D0; a sleep wants D3, or what the capability table maps it to while a wait-wake
// is armed. (A state the table has no row for maps as D3.)
DEVICE_POWER_STATE WantedDeviceState(PDEVICE_EXTENSION Ext, SYSTEM_POWER_STATE State) {
    if (State == PowerSystemWorking)
        return PowerDeviceD0;
    if (ReadShared(Ext->WaitWakeArmed) && static_cast<ULONG>(State) < PowerSystemMaximum)
        return Ext->DeviceCapabilities.DeviceState[State];
    return PowerDeviceD3;
}

// Takes the held system IRP, passes it down and gives back its reference, last.
void PassHeldSystemPowerIrpDown(PDEVICE_OBJECT Fdo) {
    const PIRP held = ExchangeShared(GetExtension(Fdo)->PendingSystemPowerIrp, nullptr);
    if (held != nullptr)
        PassPowerIrpDown(Fdo, held);
    ReleaseIoReference(Fdo);
}

} // namespace

NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT Fdo, PIRP Irp, ScopedIoReference& Reference) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    const SYSTEM_POWER_STATE state =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
    const DEVICE_POWER_STATE wanted = WantedDeviceState(ext, state);
    if (wanted == ReadShared(ext->CurrentDevicePowerState))
        return PassPowerIrpDown(Fdo, Irp);

    // Held, so pending; marked before the device request goes, whose completion may pass the IRP
    // on at once.
    IoMarkIrpPending(Irp);
    WriteShared(ext->PendingSystemPowerIrp, Irp);
    Reference.HandOff();
    POWER_STATE device;
    device.DeviceState = wanted;
    if (PoRequestPowerIrp(ext->PhysicalDeviceObject, IRP_MN_SET_POWER, device,
                          SystemPowerDeviceIrpCompletion, Fdo, nullptr) != STATUS_PENDING)
        PassHeldSystemPowerIrpDown(Fdo); // no request was made, and no completion will come
    return STATUS_PENDING;
}

VOID NTAPI SystemPowerDeviceIrpCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                          POWER_STATE PowerState, PVOID Context,
                                          PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    PassHeldSystemPowerIrpDown(static_cast<PDEVICE_OBJECT>(Context));
}
