// Wait-wake. The driver never asks for one; when another component sends one, the device is
// armed for as long as the IRP is down the stack (a system sleep then maps through the capability
// table instead of to D3), and this dispatch routine holds its thread, and its outstanding-request
// reference, until the IRP comes back: the device signalled wake, or the IRP was cancelled. So
// removal's wait for the count also waits for it.
#include "power/power_requests.h"
#include "power/idle_policy.h"
#include "driver/forward.h"

NTSTATUS HandleWaitWake(PDEVICE_OBJECT Fdo, PIRP Irp) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    // The idle state becomes the state the device can wake from, whether or not it is armed now.
    const DEVICE_POWER_STATE wake = ext->DeviceCapabilities.DeviceWake;
    WriteShared(ext->IdleDevicePowerState, wake);

    // In D0, or not yet deep enough for its wake state, the device cannot be armed. (Completed
    // without PoStartNextPowerIrp: wait-wake IRPs are not held back behind one another.)
    const DEVICE_POWER_STATE current = ReadShared(ext->CurrentDevicePowerState);
    if (current == PowerDeviceD0 || static_cast<LONG>(wake) > static_cast<LONG>(current))
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_STATE);

    WriteShared(ext->WaitWakeArmed, TRUE);
    const NTSTATUS status = ForwardPowerIrpAndWait(Fdo, Irp);
    UpdateIdlePowerState(Fdo, FALSE); // a handle open: power up; its result does not matter here
    WriteShared(ext->WaitWakeArmed, FALSE);
    return CompleteRequest(Irp, status);
}
