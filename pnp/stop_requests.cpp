// Rebalance: query-stop, cancel-stop and stop.
//
// Query-stop closes the gate (StopPending) only while no chunk is in flight; the stop that follows
// cuts short whatever chunk still got through, and selects no configuration. The handle bindings
// and OpenPipeCount stay as they are across a stop.
#include "pnp/pnp_requests.h"
#include "driver/forward.h"
#include "io/cancel_transfers.h"
#include "usb/configuration.h"

NTSTATUS HandleQueryStop(PDEVICE_OBJECT Fdo, PIRP Irp) {
    if (!IsStarted(Fdo))
        return PassDownSkipped(Fdo, Irp);
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    if (ReadShared(ext->PendingChunkCount) != 0)
        return CompleteRequest(Irp, STATUS_UNSUCCESSFUL);
    WriteShared(ext->StopPending, TRUE);
    return PassDownCopied(Fdo, Irp);
}

NTSTATUS HandleCancelStop(PDEVICE_OBJECT Fdo, PIRP Irp) {
    if (!IsStarted(Fdo))
        return PassDownSkipped(Fdo, Irp);
    WriteShared(GetExtension(Fdo)->StopPending, FALSE);
    return PassDownCopied(Fdo, Irp);
}

// A stop whose unconfigure fails keeps the device (Started, StopPending cleared) and is completed
// here with that status, not passed down.
NTSTATUS HandleStopDevice(PDEVICE_OBJECT Fdo, PIRP Irp) {
    CancelPendingTransfers(Fdo);
    const NTSTATUS status = UnconfigureDevice(Fdo);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status);
    return PassDownCopied(Fdo, Irp);
}
