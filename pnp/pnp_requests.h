// The handlers of DispatchPnp, one per minor code it acts on. Each runs at passive level with the
// reference DispatchPnp took still held; the handlers that must give it back before they pass the
// request on are handed its guard. Each returns what DispatchPnp returns.
#pragma once

#include "driver/extension.h"
#include "driver/io_reference.h"

NTSTATUS HandleStartDevice(PDEVICE_OBJECT Fdo, PIRP Irp);
NTSTATUS HandleQueryStop(PDEVICE_OBJECT Fdo, PIRP Irp);
NTSTATUS HandleCancelStop(PDEVICE_OBJECT Fdo, PIRP Irp);
NTSTATUS HandleStopDevice(PDEVICE_OBJECT Fdo, PIRP Irp);
NTSTATUS HandleQueryRemove(PDEVICE_OBJECT Fdo, PIRP Irp);
NTSTATUS HandleCancelRemove(PDEVICE_OBJECT Fdo, PIRP Irp);
NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT Fdo, PIRP Irp, ScopedIoReference& Reference);
NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT Fdo, PIRP Irp, ScopedIoReference& Reference);
NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT Fdo, PIRP Irp, ScopedIoReference& Reference);

// Query and cancel requests that find the device not started change no flag and go down as they
// came (skipped).
inline BOOLEAN IsStarted(PDEVICE_OBJECT Fdo) {
    return ReadShared(GetExtension(Fdo)->Started);
}
