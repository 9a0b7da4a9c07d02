// Plug and Play requests to the FDO: the device's Plug and Play state (Started, StopPending,
// RemovePending, Removed), its configuration on start and stop, and its removal.
#pragma once

#include "driver/extension.h"

// Passive level. Takes an outstanding-request reference and handles the request by its minor
// code; every request either goes down to the lower driver, which completes it, or is completed
// here (a start, a refused query-stop, a stop whose unconfigure failed), never both. On
// IRP_MN_REMOVE_DEVICE the FDO is deleted before this returns.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT Fdo, PIRP Irp);

// Completion routine of the forwarded IRP_MN_QUERY_CAPABILITIES (no context): on the way up,
// whatever the IRP's status, the record the IRP carries says SurpriseRemovalOK, since the driver
// handles a device that vanishes. Returns STATUS_SUCCESS so that completion continues. Up to
// DISPATCH_LEVEL.
NTSTATUS NTAPI QueryCapabilitiesCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
