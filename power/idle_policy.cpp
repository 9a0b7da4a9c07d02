// The idle power policy.
//
// One policy run at a time decides, and its power request stays its own until it completes:
// SelfPowerRequestPending holds the claim of that run and the decisions asked of the policy
// meanwhile. An open or a close that finds the claim held leaves its ask there, and the holder
// takes it once its request has completed, deciding from the handles open at that moment. A
// decision is never dropped because another was being carried out: a close's power-down still in
// flight when an open comes is followed by the open's power-up.
//
// A caller that needs the device awake when it returns (an open, a wait-wake that came back, a
// stop) leaves a waited ask and waits on PowerUpDoneEvent until that ask has been carried out: set
// by the completion of the power-up it led to, or at once when it led to none. Such callers take
// PowerUpWaitLock in turn, so that the one resetting the event is the only one waiting on it.
#include "power/idle_policy.h"
#include "driver/io_reference.h"

namespace {

constexpr LONG kPolicyClaimed = 1;    // a policy run, or the power request it made, is under way
constexpr LONG kPowerUpAsked = 2;     // an open, or a wait-wake back: D0 if a handle is open
constexpr LONG kPowerDownAsked = 4;   // a close: the idle state if no handle is open
constexpr LONG kStopPowerUpAsked = 8; // a stop: D0 from the idle state
constexpr LONG kWaitedAsk = 16;       // PowerUpDoneEvent to be set once the asks are carried out

BOOLEAN IsIdlePowerState(DEVICE_POWER_STATE State) {
    return static_cast<LONG>(State) >= PowerDeviceD1 && static_cast<LONG>(State) <= PowerDeviceD3;
}

// Adds Bits to the asks; TRUE when the caller has taken the claim with them, FALSE when the
// holder of the claim will take them.
BOOLEAN AskPolicy(PDEVICE_EXTENSION Ext, LONG Bits) {
    LONG old = ReadShared(Ext->SelfPowerRequestPending);
    for (;;) {
        const LONG seen = InterlockedCompareExchange(&Ext->SelfPowerRequestPending,
                                                     old | Bits | kPolicyClaimed, old);
        if (seen == old)
            return (old & kPolicyClaimed) == 0;
        old = seen;
    }
}

// With the claim held: takes the asks left so far, keeping the claim, or, when none is left, lets
// the claim go and returns 0.
LONG TakeAsksOrRelease(PDEVICE_EXTENSION Ext) {
    LONG old = ReadShared(Ext->SelfPowerRequestPending);
    for (;;) {
        const LONG asks = old & ~kPolicyClaimed;
        const LONG seen = InterlockedCompareExchange(&Ext->SelfPowerRequestPending,
                                                     asks != 0 ? kPolicyClaimed : 0, old);
        if (seen == old)
            return asks;
        old = seen;
    }
}

// The state Asks call for now, or PowerDeviceUnspecified when the device is to stay as it is.
//
// A stop's ask is decided from the state the device is in, not from the idle state: a wait-wake
// replaces the idle state with the state the device can wake from (none of D1-D3 for some
// devices) while the device still sleeps in the state the last close put it in.
DEVICE_POWER_STATE Decide(PDEVICE_OBJECT Fdo, LONG Asks) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    const DEVICE_POWER_STATE idle = ReadShared(ext->IdleDevicePowerState);
    const DEVICE_POWER_STATE current = ReadShared(ext->CurrentDevicePowerState);
    if (ReadShared(ext->PendingSystemPowerIrp) != nullptr)
        return PowerDeviceUnspecified;
    if ((Asks & kStopPowerUpAsked) != 0 && IsIdlePowerState(current))
        return PowerDeviceD0; // the stop runs with the gate closed
    if (!IsIdlePowerState(idle) || !IsAcceptingRequests(Fdo))
        return PowerDeviceUnspecified;
    const BOOLEAN open = ReadShared(ext->OpenPipeCount) != 0;
    if ((Asks & kPowerUpAsked) != 0 && open && current != PowerDeviceD0)
        return PowerDeviceD0;
    if ((Asks & kPowerDownAsked) != 0 && !open && current != idle)
        return idle;
    return PowerDeviceUnspecified;
}

// Asks for State. STATUS_PENDING when the request was made: its completion owns the claim from
// then on.
NTSTATUS RequestDevicePowerState(PDEVICE_OBJECT Fdo, DEVICE_POWER_STATE State) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    AcquireIoReference(Fdo);
    POWER_STATE power;
    power.DeviceState = State;
    const NTSTATUS status = PoRequestPowerIrp(ext->PhysicalDeviceObject, IRP_MN_SET_POWER, power,
                                              SelfPowerRequestCompletion, Fdo, nullptr);
    if (status != STATUS_PENDING)
        ReleaseIoReference(Fdo); // no completion routine will run
    return status;
}

// Runs the policy with the claim held until no ask is left or a request is in flight; never
// waits. A waited ask that leads to no power-up request sets PowerUpDoneEvent here; one that does
// leaves it to the request's completion.
NTSTATUS RunPolicy(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    NTSTATUS status = STATUS_SUCCESS;
    for (LONG asks; (asks = TakeAsksOrRelease(ext)) != 0;) {
        const DEVICE_POWER_STATE state = Decide(Fdo, asks);
        BOOLEAN powerUpPending = FALSE;
        if (state != PowerDeviceUnspecified) {
            status = RequestDevicePowerState(Fdo, state);
            powerUpPending = status == STATUS_PENDING && state == PowerDeviceD0;
        }
        if ((asks & kWaitedAsk) != 0 && !powerUpPending)
            KeSetEvent(&ext->PowerUpDoneEvent, EVENT_INCREMENT, FALSE);
        if (status == STATUS_PENDING)
            return STATUS_SUCCESS; // the claim is the request's now
    }
    return status;
}

// Leaves Bits with a waited ask and returns once it has been carried out.
NTSTATUS AskAndWait(PDEVICE_OBJECT Fdo, LONG Bits) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    KeWaitForSingleObject(&ext->PowerUpWaitLock, Executive, KernelMode, FALSE, nullptr);
    KeResetEvent(&ext->PowerUpDoneEvent);
    const NTSTATUS status = AskPolicy(ext, Bits | kWaitedAsk) ? RunPolicy(Fdo) : STATUS_SUCCESS;
    KeWaitForSingleObject(&ext->PowerUpDoneEvent, Suspended, KernelMode, FALSE, nullptr);
    KeSetEvent(&ext->PowerUpWaitLock, EVENT_INCREMENT, FALSE);
    return status;
}

} // namespace

NTSTATUS UpdateIdlePowerState(PDEVICE_OBJECT Fdo, BOOLEAN GoIdle) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    if (!IsAcceptingRequests(Fdo))
        return STATUS_DELETE_PENDING;
    if (ReadShared(ext->PendingSystemPowerIrp) != nullptr)
        return STATUS_SUCCESS;
    if (!GoIdle)
        return AskAndWait(Fdo, kPowerUpAsked);
    if (!AskPolicy(ext, kPowerDownAsked))
        return STATUS_SUCCESS; // the run under way takes the ask when its request completes
    return RunPolicy(Fdo);
}

// The stop runs with StopPending set, so no open or close asks after it; a request still in flight
// (a close's power-down, an open's power-up) completes first, and then the stop's ask is decided
// from the state the device is in.
NTSTATUS PowerUpIdleDevice(PDEVICE_OBJECT Fdo) {
    return AskAndWait(Fdo, kStopPowerUpAsked);
}

// The policy's only power-up is a request for D0, and the caller of its waited ask is waiting for
// it, whether it succeeded or not. Then the asks left while the request was in flight are decided,
// up to DISPATCH_LEVEL, without waiting.
VOID NTAPI SelfPowerRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                      POWER_STATE PowerState, PVOID Context,
                                      PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(IoStatus);
    const PDEVICE_OBJECT fdo = static_cast<PDEVICE_OBJECT>(Context);
    const PDEVICE_EXTENSION ext = GetExtension(fdo);
    if (PowerState.DeviceState == PowerDeviceD0)
        KeSetEvent(&ext->PowerUpDoneEvent, EVENT_INCREMENT, FALSE);
    RunPolicy(fdo);
    ReleaseIoReference(fdo); // the last use of the extension
}
