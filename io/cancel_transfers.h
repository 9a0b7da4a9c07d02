// Cancelling the chunks of the transfer in flight, so that their completions finish it. Used by
// the Plug and Play dispatch on stop, surprise removal and removal.
#pragma once

#include "driver/extension.h"

// Walks ChunkContexts and cancels every chunk IRP still down the stack, in record order, also
// after the lower driver refused one (IoCancelIrp returns FALSE). When at least one chunk was
// cancelled and none refused, waits on TransferDoneEvent. Returns the number of chunks cancelled (0
// at once when no transfer is in flight). PASSIVE_LEVEL; the transfer's request is not touched.
ULONG CancelPendingTransfers(PDEVICE_OBJECT Fdo);
