// Removal: the device is taken down and the FDO deleted.
//
// The order matters. The gate closes (Removed) before anything waits, so no new client request
// starts; the chunks in flight are cancelled and the pipes of an open handle aborted so that
// everything outstanding ends; the base reference of AddDevice is given back, and the wait on
// RemoveEvent lasts until the last reference (a chunk, a power request, another dispatch routine)
// is gone, whichever of them goes last. Only then is anything released: no completion can still
// be using the extension, the array of chunks or the interface copy.
#include "pnp/pnp_requests.h"
#include "pnp/release_resources.h"
#include "driver/forward.h"
#include "io/cancel_transfers.h"
#include "usb/recovery.h"

NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT Fdo, PIRP Irp, ScopedIoReference& Reference) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    Reference.ReleaseNow();
    WriteShared(ext->Removed, TRUE);
    // Their results are not looked at: the removal goes on whatever they found.
    CancelPendingTransfers(Fdo);
    AbortOpenPipes(Fdo);

    const NTSTATUS status = PassDownCopied(Fdo, Irp);
    ReleaseIoReference(Fdo); // AddDevice's base reference
    KeWaitForSingleObject(&ext->RemoveEvent, Suspended, KernelMode, FALSE, nullptr);

    ReleaseDeviceResources(Fdo);
    IoDetachDevice(ext->LowerDeviceObject);
    IoDeleteDevice(Fdo); // the extension goes with it
    return status;
}
