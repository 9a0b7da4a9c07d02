// Power requests to the FDO: a system power state becomes a device power request for the
// device's own PDO, device power states are recorded as they pass, a power-up is reported as a
// success, and a wait-wake arms the device for as long as it is down the stack.
#pragma once

#include "driver/extension.h"

// PASSIVE_LEVEL: the FDO takes power IRPs there (DO_POWER_PAGABLE). Takes an outstanding-request
// reference and handles the IRP by its minor code. Every IRP goes down with PoStartNextPowerIrp
// and PoCallDriver, except a wait-wake refused here; a device power-up, and a system set-power
// held for its device request, return STATUS_PENDING with the IRP marked pending. A wait-wake
// holds the calling thread until it has come back up.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT Fdo, PIRP Irp);

// A device power state passing down: D1, D2 or D3 is recorded in CurrentDevicePowerState at once
// (FALSE); D0 is recorded only when the power-up has completed (TRUE); any other value is not
// recorded (FALSE).
BOOLEAN RecordDevicePowerState(PDEVICE_OBJECT Fdo, DEVICE_POWER_STATE State);

// Completion routine of a device power-up, Context the FDO: the device is in D0 and the IRP
// succeeds, whatever the lower drivers reported; gives back DispatchPower's reference. Up to
// DISPATCH_LEVEL; returns STATUS_SUCCESS so that completion goes on.
NTSTATUS NTAPI PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Completion routine of the device power request made for a held system set-power IRP (handed to
// PoRequestPowerIrp), Context the FDO: the system IRP goes down as it arrived, whatever the device
// request's status, and its reference is given back. Up to DISPATCH_LEVEL.
VOID NTAPI SystemPowerDeviceIrpCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                          POWER_STATE PowerState, PVOID Context,
                                          PIO_STATUS_BLOCK IoStatus);
