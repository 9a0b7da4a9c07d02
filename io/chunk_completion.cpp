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
//
// A chunk that failed counts as having moved nothing: the bus writes a URB's transfer length only
// when the host controller served it, and one failed before (the device gone or suspended, the URB
// refused) still holds the whole window the driver wrote there.
//
// A chunk that ended with a halting status leaves its endpoint halted: the bus fails every later
// transfer on it until the pipe is reset, which only a caller at PASSIVE_LEVEL may ask for. The
// completion notes the pipe (HaltedPipes); the next transfer on it resets it before it sends.
#include "driver/io_reference.h"
#include "io/cancel_transfers.h"
#include "io/chunk_tracking.h"
#include "io/transfer.h"
#include "io/transfer_request.h"

namespace {

// A transfer that ends in an error (USB status bits 31-30 both set: a stall, a data error, a
// device that stopped answering) halts its endpoint until URB_FUNCTION_RESET_PIPE; a cancelled or
// aborted one leaves it running.
constexpr bool HaltsPipe(USBD_STATUS Status) {
    return (static_cast<ULONG>(Status) >> 30) == 3 && Status != USBD_STATUS_CANCELED;
}

void NoteHaltedPipe(PDEVICE_EXTENSION Ext, const struct _URB_BULK_OR_INTERRUPT_TRANSFER& Bulk) {
    const ULONG direction = (Bulk.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0 ? 0 : 1;
    WriteShared(Ext->HaltedPipes[direction], Bulk.PipeHandle);
}

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

// Data the count cannot show outweighs the cancel. A request cancelled after its every byte moved
// has succeeded.
NTSTATUS TransferStatus(PIRP Request, const TransferCount& Count) {
    if (Count.Hidden)
        return STATUS_DEVICE_DATA_ERROR;
    if (ReadShared(Request->Cancel) && Count.Bytes < MmGetMdlByteCount(Request->MdlAddress))
        return STATUS_CANCELLED;
    return STATUS_SUCCESS;
}

} // namespace

void FinishTransfer(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    const PIRP request = ReadShared(ext->PendingTransferIrp);
    const PCHUNK_CONTEXT array = ReadShared(ext->ChunkContexts);
    const TransferCount count = CountUnbrokenPrefix(Fdo, array);
    WriteShared(ext->TransferredBytes, count.Bytes);
    FinishChunkArray(Fdo, array);
    // Set before the request may complete, which can give back the last reference: the chunks are
    // all back, which is what a walk waits for.
    KeSetEvent(&ext->TransferDoneEvent, EVENT_INCREMENT, FALSE);
    EndTransferRequest(Fdo, request, TransferStatus(request, count), count.Bytes);
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
    const USBD_STATUS usbStatus = urb->UrbHeader.Status;
    const bool failed = !NT_SUCCESS(Irp->IoStatus.Status) || !USBD_SUCCESS(usbStatus);
    record->Moved = failed ? 0 : (reported < window ? reported : window);
    record->Broken = failed || record->Moved < window;
    if (HaltsPipe(usbStatus))
        NoteHaltedPipe(ext, urb->UrbBulkOrInterruptTransfer);
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
