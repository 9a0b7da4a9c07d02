// The transfer engine behind read and write: one request of up to 65536 bytes is cut into chunks
// of MaximumTransferSize bytes, each with its own IRP, partial MDL over its fixed window of the
// caller's locked buffer, and bulk-transfer URB; all go down before any is waited for, and the
// request completes when the last one does, with the bytes its chunks moved in order up to the
// first that failed, ended short or was cancelled (io/chunk_completion.cpp). Nothing is copied.
//
// One transfer at a time per device: PendingTransferIrp is claimed (an interlocked exchange from
// NULL) before anything else of the transfer is touched, and given back before the request
// completes, so that the caller's next request finds the device free. The chunks and the
// cancelling walk share ChunkContexts through io/chunk_tracking.h. From just before its first
// chunk goes, the request can be cancelled (io/transfer_request.h).
//
// A pipe a chunk left halted (io/chunk_completion.cpp) is reset by the next transfer on it,
// before that sends anything.
#pragma once

#include "driver/extension.h"

// Read (IsRead) or write of the request's MDL through the handle's pipe. Returns STATUS_PENDING
// once a chunk has been sent (the request then belongs to the chunks' completions), otherwise the
// status the request was completed with. PASSIVE_LEVEL.
NTSTATUS TransferData(PDEVICE_OBJECT Fdo, PIRP Irp, BOOLEAN IsRead);

// A zero-filled bulk-transfer URB for the chunk IRP's MDL and Pipe; NULL without memory.
PURB BuildBulkTransferUrb(PDEVICE_OBJECT Fdo, PIRP ChunkIrp, PUSBD_PIPE_INFORMATION Pipe,
                          BOOLEAN IsRead);

// Completion routine of a chunk IRP; Context is its CHUNK_CONTEXT. Records the bytes moved and
// whether the chunk broke the transfer (the first to break cancels the chunks after it), frees
// the chunk, and the one that ends the transfer finishes it; gives back the chunk's reference
// last. Returns STATUS_MORE_PROCESSING_REQUIRED. Up to DISPATCH_LEVEL.
NTSTATUS NTAPI ChunkCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// The end of the transfer in flight, by whatever took PendingChunkCount to 0: the array is
// freed, TransferDoneEvent set, and the request ended (io/transfer_request.h) with the unbroken
// prefix as its information: with STATUS_SUCCESS; STATUS_DEVICE_DATA_ERROR when a chunk after
// the first that broke moved bytes all the same (a write's hole at the device, a read's data
// beyond the count); or else STATUS_CANCELLED when the request was cancelled before all its bytes
// moved. The device is free for the next transfer once the request completes.
void FinishTransfer(PDEVICE_OBJECT Fdo);
