// Plug and Play dispatch: the routing by minor code, and the start.
#include "pnp/dispatch_pnp.h"
#include "pnp/pnp_requests.h"
#include "driver/forward.h"
#include "usb/configuration.h"

// The lower drivers start first. A start they failed is failed here too, with their status: the
// device is not configured above a bus that could not start it, and the failure is not turned
// into a success by descriptor reads that happen to work. Otherwise the device is configured and
// the start completes with the status of that, its information as the lower drivers left it.
NTSTATUS HandleStartDevice(PDEVICE_OBJECT Fdo, PIRP Irp) {
    const NTSTATUS lowerStatus = ForwardAndWait(Fdo, Irp);
    if (!NT_SUCCESS(lowerStatus))
        return CompleteRequest(Irp, lowerStatus);
    return CompleteRequest(Irp, StartDevice(Fdo));
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT Fdo, PIRP Irp) {
    ScopedIoReference reference(Fdo);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return HandleStartDevice(Fdo, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return HandleQueryRemove(Fdo, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return HandleRemoveDevice(Fdo, Irp, reference);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return HandleCancelRemove(Fdo, Irp);
    case IRP_MN_STOP_DEVICE:
        return HandleStopDevice(Fdo, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        return HandleQueryStop(Fdo, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
        return HandleCancelStop(Fdo, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return HandleQueryCapabilities(Fdo, Irp, reference);
    case IRP_MN_SURPRISE_REMOVAL:
        return HandleSurpriseRemoval(Fdo, Irp, reference);
    default:
        return PassDownCopied(Fdo, Irp);
    }
}
