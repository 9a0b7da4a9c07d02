// The end of a chunk, and of the transfer by its last chunk.
//
// Chunk completions run at up to DISPATCH_LEVEL, several at once on different processors and
// while TransferData may still be sending. The additions to TransferredBytes and the decrements of
// PendingChunkCount are interlocked, and only the one whose own decrement leaves 0 finishes the
// transfer; each completion has added its bytes before its decrement, so that one sees them all.
#include "driver/forward.h"
#include "driver/io_reference.h"
#include "io/chunk_tracking.h"
#include "io/transfer.h"

void FinishTransfer(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    const PIRP request = ReadShared(ext->PendingTransferIrp);
    const ULONG moved = ReadShared(ext->TransferredBytes);
    FinishChunkArray(Fdo, ReadShared(ext->ChunkContexts));
    // The device is free before the caller learns of the end: its next request must not find
    // this one still in the way.
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->PendingTransferIrp),
                               nullptr);
    request->IoStatus.Information = moved;
    CompleteRequest(request, STATUS_SUCCESS);
    KeSetEvent(&ext->TransferDoneEvent, EVENT_INCREMENT, FALSE);
}

NTSTATUS NTAPI ChunkCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject); // the chunk IRP holds no location of the driver's
    const auto record = static_cast<PCHUNK_CONTEXT>(Context);
    const PURB urb = record->Urb;
    const PDEVICE_OBJECT fdo = record->DeviceObject;
    const PDEVICE_EXTENSION ext = GetExtension(fdo);

    // A chunk moves at most its window; a bus driver that says more is not believed.
    const ULONG window = MmGetMdlByteCount(Irp->MdlAddress);
    const ULONG reported = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    const ULONG moved = reported < window ? reported : window;
    InterlockedExchangeAdd(reinterpret_cast<LONG volatile*>(&ext->TransferredBytes),
                           static_cast<LONG>(moved));
    FinishChunk(fdo, record); // the chunk IRP and its MDL are gone after this
    if (InterlockedDecrement(&ext->PendingChunkCount) == 0)
        FinishTransfer(fdo);
    ExFreePool(urb);
    ReleaseIoReference(fdo); // the last touch of the device
    return STATUS_MORE_PROCESSING_REQUIRED;
}
