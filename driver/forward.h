// The ways the driver hands an IRP to the device below it.
#pragma once

#include "driver/extension.h"

// Copies the current stack location to the next (without completion routine) and calls the lower
// driver; returns its status. The IRP is the lower driver's afterwards.
NTSTATUS PassDownCopied(PDEVICE_OBJECT Fdo, PIRP Irp);

// Gives the lower driver the current stack location unchanged; returns its status.
NTSTATUS PassDownSkipped(PDEVICE_OBJECT Fdo, PIRP Irp);

// Passes the IRP down with SignalEventCompletion and waits until it comes back. Passive level.
// Returns the lower drivers' status from the IRP's status block; the IRP is the caller's again
// and the caller must complete it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT Fdo, PIRP Irp);

// The same two for a power IRP: after the copy, PoStartNextPowerIrp lets the device's next power
// IRP come, and PoCallDriver passes this one on.
NTSTATUS PassPowerIrpDown(PDEVICE_OBJECT Fdo, PIRP Irp);
NTSTATUS ForwardPowerIrpAndWait(PDEVICE_OBJECT Fdo, PIRP Irp);

// Completion routine for a forwarded IRP that its sender waits for: Context is a KEVENT, which it
// sets; it returns STATUS_MORE_PROCESSING_REQUIRED so the IRP comes back to the sender.
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Completes Irp with Status and no priority boost, and returns Status.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status);
