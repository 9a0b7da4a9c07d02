// Cancelling the chunks of the transfer in flight, so that their completions finish it. Used by
// the Plug and Play dispatch on stop, surprise removal and removal, by the cancel routine of the
// transfer's request, and by the completion of a chunk that broke the transfer.
#pragma once

#include "driver/extension.h"

// Walks ChunkContexts and cancels every chunk IRP still down the stack, last record first, also
// after the lower driver refused one (IoCancelIrp returns FALSE). When at least one chunk was
// cancelled and none refused, waits on TransferDoneEvent. Returns the number of chunks cancelled (0
// at once when no transfer is in flight). PASSIVE_LEVEL; the transfer's request is not touched.
ULONG CancelPendingTransfers(PDEVICE_OBJECT Fdo);

// The same walk without the wait, for the cancel routine of the transfer's request: the chunks'
// completions end the transfer when they come. Up to DISPATCH_LEVEL.
void CancelChunksInFlight(PDEVICE_OBJECT Fdo);

// From the completion of a chunk that broke the transfer (failed, ended short or was cancelled),
// while it still counts in PendingChunkCount: unless a walk has begun over the transfer already,
// cancels the chunks after Record still down the stack, last first, and no further chunk is sent.
// Waits for nothing. Up to DISPATCH_LEVEL.
void CancelChunksAfter(PDEVICE_OBJECT Fdo, PCHUNK_CONTEXT Record);
