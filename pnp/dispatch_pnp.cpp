// Plug and Play dispatch.
#include "pnp/dispatch_pnp.h"
#include "driver/forward.h"
#include "driver/io_reference.h"
#include "usb/configuration.h"

namespace {

// The lower drivers start first; the device is then configured, and the start request completes
// with the status of that.
NTSTATUS HandleStartDevice(PDEVICE_OBJECT Fdo, PIRP Irp) {
    ForwardAndWait(Fdo, Irp);
    return CompleteRequest(Irp, StartDevice(Fdo));
}

} // namespace

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT Fdo, PIRP Irp) {
    ScopedIoReference reference(Fdo);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return HandleStartDevice(Fdo, Irp);
    default:
        return PassDownCopied(Fdo, Irp);
    }
}
