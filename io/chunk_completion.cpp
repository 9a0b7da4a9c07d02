// The end of a chunk, and of the transfer by its last chunk.
//
// Chunk completions run at up to DISPATCH_LEVEL, several at once on different processors and
// while TransferData may still be sending. Each writes what its chunk did into its own record
// before its interlocked decrement of PendingChunkCount, and only the one whose own decrement
// leaves 0 finishes the transfer; it reads every record after that decrement, so it sees them all.
//
// Every chunk owns a fixed window of the caller's buffer, and the chunks are all in flight
// together: a chunk that breaks (fails, ends short or is cancelled) leaves a hole at the end of
// its window while later chunks may still move data. The request reports only the unbroken
// prefix, the chunks' bytes in order up to and including the first that broke; the first to
// break cancels the chunks after it, and none is sent after it. Bytes a later chunk moved anyway
// (it was already at the device) are data the count cannot show: the request then fails.
#include "driver/forward.h"
#include "driver/io_reference.h"
#include "io/cancel_transfers.h"
#include "io/chunk_tracking.h"
#include "io/transfer.h"

namespace {

// What a finished transfer reports.
struct TransferCount {
    ULONG Bytes;    // the unbroken prefix
    BOOLEAN Hidden; // a chunk after the first that broke moved bytes
};

// Over the chunks sent (the chunks are sent in order, so none after the first record of a chunk
// never sent was either). Each chunk wrote Moved and Broken before its decrement of
// PendingChunkCount, and the caller's own decrement came last: every record is complete.
TransferCount CountUnbrokenPrefix(PDEVICE_OBJECT Fdo, const CHUNK_CONTEXT* Array) {
    TransferCount count = {0, FALSE};
    BOOLEAN broken = FALSE;
    const ULONG sent = CountTrackedChunks(Fdo, Array);
    for (const CHUNK_CONTEXT* record = Array; record < Array + sent; ++record) {
        if (broken) {
            count.Hidden = count.Hidden || record->Moved > 0;
            continue;
        }
        count.Bytes += record->Moved;
        broken = record->Broken;
    }
    return count;
}

} // namespace

void FinishTransfer(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    const PIRP request = ReadShared(ext->PendingTransferIrp);
    const PCHUNK_CONTEXT array = ReadShared(ext->ChunkContexts);
    const TransferCount count = CountUnbrokenPrefix(Fdo, array);
    WriteShared(ext->TransferredBytes, count.Bytes);
    FinishChunkArray(Fdo, array);
    // The device is free before the caller learns of the end: its next request must not find
    // this one still in the way.
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&ext->PendingTransferIrp),
                               nullptr);
    request->IoStatus.Information = count.Bytes;
    CompleteRequest(request, count.Hidden ? STATUS_DEVICE_DATA_ERROR : STATUS_SUCCESS);
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
    record->Moved = reported < window ? reported : window;
    record->Broken = !NT_SUCCESS(Irp->IoStatus.Status) || !USBD_SUCCESS(urb->UrbHeader.Status) ||
                     record->Moved < window;
    // Before this chunk's decrement: the array and the later records stay while the walk runs.
    if (record->Broken)
        CancelChunksAfter(fdo, record);
    FinishChunk(fdo, record); // the chunk IRP and its MDL are gone after this
    // Before the decrement: once the request has completed, none of its chunks' memory is left
    // (nothing reads a finished chunk's URB; the record keeps only its stale address).
    ExFreePool(urb);
    if (InterlockedDecrement(&ext->PendingChunkCount) == 0)
        FinishTransfer(fdo);
    ReleaseIoReference(fdo); // the last touch of the device
    return STATUS_MORE_PROCESSING_REQUIRED;
}
