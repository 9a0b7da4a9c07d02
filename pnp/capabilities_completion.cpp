// The capability query on its way through the FDO.
//
// The request's own reference is given back before it goes down: the driver neither waits for nor
// completes it, and its completion routine touches only the IRP.
#include "pnp/dispatch_pnp.h"
#include "pnp/pnp_requests.h"

NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT Fdo, PIRP Irp, ScopedIoReference& Reference) {
    Reference.ReleaseNow();
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, QueryCapabilitiesCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(GetExtension(Fdo)->LowerDeviceObject, Irp);
}

NTSTATUS NTAPI QueryCapabilitiesCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Context);
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    // The record is the sender's; a query that carries none has nothing to mark.
    const PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (capabilities != nullptr)
        capabilities->SurpriseRemovalOK = TRUE;
    return STATUS_SUCCESS;
}
