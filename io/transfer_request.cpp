// The transfer's request: its cancel routine and its completion (the protocol is in the header).
#include "io/transfer_request.h"
#include "driver/io_reference.h"
#include "io/cancel_transfers.h"

namespace {

// The device is free before the caller learns of the end: its next request, which may come from
// inside this completion, must not find this one in the way.
void CompleteTransferRequest(PDEVICE_OBJECT Fdo, PIRP Irp) {
    InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(&GetExtension(Fdo)->PendingTransferIrp), nullptr);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseIoReference(Fdo); // the request's own; the last touch of the device
}

// Called by IoCancelIrp with the cancel spin lock held, at DISPATCH_LEVEL. The request cannot
// complete before this routine has counted itself, so the chunks it walks are its transfer's.
VOID NTAPI TransferRequestCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    CancelChunksInFlight(DeviceObject);
    if (InterlockedIncrement(&GetExtension(DeviceObject)->TransferEndsSeen) == 2)
        CompleteTransferRequest(DeviceObject, Irp);
}

} // namespace

BOOLEAN ArmTransferCancel(PDEVICE_OBJECT Fdo, PIRP Irp) {
    IoMarkIrpPending(Irp);
    AcquireIoReference(Fdo); // given back when the request completes
    InterlockedExchange(&GetExtension(Fdo)->TransferEndsSeen, 0);
    IoSetCancelRoutine(Irp, TransferRequestCancel);
    // IoCancelIrp sets Cancel before it takes the routine: a cancel not seen here will find it.
    return !ReadShared(Irp->Cancel);
}

void EndTransferRequest(PDEVICE_OBJECT Fdo, PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    if (IoSetCancelRoutine(Irp, nullptr) == nullptr &&
        InterlockedIncrement(&GetExtension(Fdo)->TransferEndsSeen) == 1)
        return; // the cancel routine, still running, completes it
    CompleteTransferRequest(Fdo, Irp);
}
