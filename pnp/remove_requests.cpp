// Query-remove, cancel-remove and surprise removal.
#include "pnp/pnp_requests.h"
#include "driver/forward.h"
#include "io/cancel_transfers.h"
#include "usb/recovery.h"

// RemovePending closes the gate before the wait, so no new client request starts while it lasts.
// NoPendingIoEvent is never reset and has been set since the start's own reference was given
// back, so the wait does not block.
NTSTATUS HandleQueryRemove(PDEVICE_OBJECT Fdo, PIRP Irp) {
    if (!IsStarted(Fdo))
        return PassDownSkipped(Fdo, Irp);
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    WriteShared(ext->RemovePending, TRUE);
    KeWaitForSingleObject(&ext->NoPendingIoEvent, Suspended, KernelMode, FALSE, nullptr);
    return PassDownCopied(Fdo, Irp);
}

NTSTATUS HandleCancelRemove(PDEVICE_OBJECT Fdo, PIRP Irp) {
    if (!IsStarted(Fdo))
        return PassDownSkipped(Fdo, Irp);
    WriteShared(GetExtension(Fdo)->RemovePending, FALSE);
    return PassDownCopied(Fdo, Irp);
}

// The device is gone: the gate closes for good, the chunks in flight are cut short and the pipes
// of an open handle aborted, so that the handle's requests end and its close finds the pipes
// unbound. The FDO stays until IRP_MN_REMOVE_DEVICE; AddDevice's base reference keeps the
// extension meanwhile, so this request's own reference is given back first.
NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT Fdo, PIRP Irp, ScopedIoReference& Reference) {
    Reference.ReleaseNow();
    WriteShared(GetExtension(Fdo)->Removed, TRUE);
    CancelPendingTransfers(Fdo);
    AbortOpenPipes(Fdo);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDownCopied(Fdo, Irp);
}
