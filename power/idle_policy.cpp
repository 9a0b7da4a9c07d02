// The idle power policy.
#include "power/idle_policy.h"
#include "driver/io_reference.h"

namespace {

BOOLEAN IsIdlePowerState(DEVICE_POWER_STATE State) {
    return static_cast<LONG>(State) >= PowerDeviceD1 && static_cast<LONG>(State) <= PowerDeviceD3;
}

// Steps 3 to 5 of the policy, with SelfPowerRequestPending claimed by the caller.
NTSTATUS DecideAndRequest(PDEVICE_OBJECT Fdo, BOOLEAN GoIdle) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    const BOOLEAN open = ReadShared(ext->OpenPipeCount) != 0;
    if (GoIdle ? open : !open)
        return STATUS_SUCCESS;
    const DEVICE_POWER_STATE idle = ReadShared(ext->IdleDevicePowerState);
    if (!IsIdlePowerState(idle))
        return STATUS_SUCCESS;
    return RequestDevicePowerState(Fdo, GoIdle ? idle : PowerDeviceD0);
}

// Asks for State; when Wait, returns only once the request has completed (its completion routine
// sets PowerUpDoneEvent for every state Wait is used with).
NTSTATUS RequestState(PDEVICE_OBJECT Fdo, DEVICE_POWER_STATE State, BOOLEAN Wait) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    AcquireIoReference(Fdo);
    POWER_STATE power;
    power.DeviceState = State;
    const NTSTATUS status = PoRequestPowerIrp(ext->PhysicalDeviceObject, IRP_MN_SET_POWER, power,
                                              SelfPowerRequestCompletion, Fdo, nullptr);
    if (status != STATUS_PENDING) {
        ReleaseIoReference(Fdo); // no completion routine will run
        return status;
    }
    if (Wait)
        KeWaitForSingleObject(&ext->PowerUpDoneEvent, Suspended, KernelMode, FALSE, nullptr);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS UpdateIdlePowerState(PDEVICE_OBJECT Fdo, BOOLEAN GoIdle) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    if (!IsAcceptingRequests(Fdo))
        return STATUS_DELETE_PENDING;
    if (ReadShared(ext->PendingSystemPowerIrp) != nullptr)
        return STATUS_SUCCESS;
    if (ExchangeShared(ext->SelfPowerRequestPending, TRUE))
        return STATUS_SUCCESS; // another policy call decides
    const NTSTATUS status = DecideAndRequest(Fdo, GoIdle);
    WriteShared(ext->SelfPowerRequestPending, FALSE);
    return status;
}

NTSTATUS RequestDevicePowerState(PDEVICE_OBJECT Fdo, DEVICE_POWER_STATE State) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    if (State == ReadShared(ext->CurrentDevicePowerState))
        return STATUS_SUCCESS;
    // PowerUpDoneEvent stays set once the first power-up has completed: later waits end at once.
    return RequestState(Fdo, State,
                        static_cast<LONG>(State) <
                            static_cast<LONG>(ReadShared(ext->IdleDevicePowerState)));
}

// The stop runs with StopPending set, so no open or close runs the policy meanwhile; only a policy
// call that was already deciding when the query-stop came can hold the claim, and then this one
// leaves the device as it is (the stop's unconfigure reports what the device answers). The event
// is reset first so that the wait lasts until this request has completed.
NTSTATUS PowerUpIdleDevice(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    if (!IsIdlePowerState(ReadShared(ext->CurrentDevicePowerState)))
        return STATUS_SUCCESS;
    if (ReadShared(ext->PendingSystemPowerIrp) != nullptr)
        return STATUS_SUCCESS;
    if (ExchangeShared(ext->SelfPowerRequestPending, TRUE))
        return STATUS_SUCCESS;
    KeResetEvent(&ext->PowerUpDoneEvent);
    const NTSTATUS status = RequestState(Fdo, PowerDeviceD0, TRUE);
    WriteShared(ext->SelfPowerRequestPending, FALSE);
    return status;
}

// A request for D0 signals the event even when a wait-wake has meanwhile made the idle state
// shallower: the policy made the request as a power-up, and its caller may be waiting for it.
VOID NTAPI SelfPowerRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                      POWER_STATE PowerState, PVOID Context,
                                      PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(IoStatus);
    const PDEVICE_OBJECT fdo = static_cast<PDEVICE_OBJECT>(Context);
    const PDEVICE_EXTENSION ext = GetExtension(fdo);
    const LONG requested = PowerState.DeviceState;
    if (requested == PowerDeviceD0 ||
        requested < static_cast<LONG>(ReadShared(ext->IdleDevicePowerState)))
        KeSetEvent(&ext->PowerUpDoneEvent, EVENT_INCREMENT, FALSE);
    ReleaseIoReference(fdo); // the last use of the extension
}
