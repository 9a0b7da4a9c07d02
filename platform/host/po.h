// The power manager's routines. Power IRPs travel with PoCallDriver, and each driver calls
// PoStartNextPowerIrp before passing one on; both rules are verifier checks.
#pragma once

#include "io.h"

typedef void(NTAPI* PREQUEST_POWER_COMPLETE)(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                             POWER_STATE PowerState, PVOID Context,
                                             PIO_STATUS_BLOCK IoStatus);

// Sends a power IRP to the top of the stack that DeviceObject (a PDO) belongs to; returns
// STATUS_PENDING when sent and later calls CompletionFunction.
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp SIM_CALLER_PARAM);
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp SIM_CALLER_PARAM);
void NTAPI PoStartNextPowerIrp(PIRP Irp SIM_CALLER_PARAM);
POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State);
