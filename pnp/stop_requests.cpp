// Rebalance: query-stop, cancel-stop and stop.
//
// Query-stop closes the gate (StopPending) only while no chunk is in flight; the stop that follows
// cuts short whatever chunk still got through, and selects no configuration. The handle bindings
// and OpenPipeCount stay as they are across a stop.
#include "pnp/pnp_requests.h"
#include "driver/forward.h"
#include "io/cancel_transfers.h"
#include "power/idle_policy.h"
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

// A device the idle policy left asleep is woken first: the bus refuses requests to a device in
// D1-D3, and a stop that follows a successful query-stop must not fail for that. A stop whose
// unconfigure fails all the same keeps the device (Started, StopPending cleared) and is completed
// here with that status, not passed down.
NTSTATUS HandleStopDevice(PDEVICE_OBJECT Fdo, PIRP Irp) {
    CancelPendingTransfers(Fdo);
    PowerUpIdleDevice(Fdo); // if it fails, the unconfigure below fails and says so
    const NTSTATUS status = UnconfigureDevice(Fdo);
    if (!NT_SUCCESS(status))
        return CompleteRequest(Irp, status);
    return PassDownCopied(Fdo, Irp);
}
