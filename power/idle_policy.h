// The idle power policy: while no handle is open the device is kept in IdleDevicePowerState, and
// an open brings it back to D0. It asks the power manager for a device set-power IRP for its own
// PDO, which comes down the stack through DispatchPower and is recorded there.
//
// The policy acts only when IdleDevicePowerState is D1, D2 or D3 (but for a stop's power-up, which
// goes by the state the device is in), and does nothing while a system set-power IRP is held
// (PendingSystemPowerIrp). One request of the policy is in flight at a time
// (SelfPowerRequestPending); what racing opens and closes ask meanwhile is decided when it has
// completed, from the handles open then.
#pragma once

#include "driver/extension.h"

// PASSIVE_LEVEL, in a dispatch routine that holds an outstanding-request reference. GoIdle TRUE
// (a close): power down to the idle state if no handle is open; FALSE (an open, or a wait-wake
// back): power up to D0 if a handle is open, and return only once that has been carried out (after
// any request of the policy still in flight), so that the caller's next request finds the device
// awake. A close does not wait.
// STATUS_DELETE_PENDING while the device does not accept requests (nothing is sent then); otherwise
// success, or the status of a request that could not be made. Callers need not look at the result.
NTSTATUS UpdateIdlePowerState(PDEVICE_OBJECT Fdo, BOOLEAN GoIdle);

// PASSIVE_LEVEL, in a stop, with a dispatch routine's reference held. When the device is in D1, D2
// or D3 (whatever the idle state has become since the policy put it there: a wait-wake may have
// replaced it), asks for D0 the way an open does and waits until that request has
// completed (after any request of the policy still in flight), so that the requests the stop sends
// next reach an awake device. Success when nothing was needed or the request was made; otherwise
// the status of a request that could not be made.
NTSTATUS PowerUpIdleDevice(PDEVICE_OBJECT Fdo);

// Completion routine of the policy's power request, handed to PoRequestPowerIrp; Context is the
// FDO. Signals PowerUpDoneEvent for a power-up, decides what opens and closes asked while the
// request was in flight, and gives back the request's reference. Up to DISPATCH_LEVEL.
VOID NTAPI SelfPowerRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                      POWER_STATE PowerState, PVOID Context,
                                      PIO_STATUS_BLOCK IoStatus);
