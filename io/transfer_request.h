// The read or write request of the transfer in flight: it can be cancelled while its chunks are
// down the stack, and it is completed once, by whatever is last done with it.
//
// Cancelling (the application's CancelIo, or its thread or process ending) runs the request's
// cancel routine, which cancels the chunks still down the stack through the same walk as a stop
// (io/cancel_transfers.h) and waits for nothing: the chunks' completions end the transfer as they
// come back. The request then completes with STATUS_CANCELLED and, as its information, the
// unbroken run of bytes its chunks moved before the cancel cut it short; a request whose every
// byte moved succeeds all the same (io/chunk_completion.cpp).
//
// The platform's protocol: the cancel routine is cleared before the request completes. When the
// clearing finds it gone, IoCancelIrp has called it (or is about to), and it may still be walking
// the transfer's chunks. Then the end of the transfer and the cancel routine each count
// themselves in TransferEndsSeen once they are done, and the second completes the request. So the
// request never completes under its running cancel routine, no cancel routine runs after the
// request completed, and the device takes the next request only once both are done with this one.
//
// From the moment it can be cancelled until it completes, the request holds an outstanding-request
// reference of its own: removal waits for a cancel routine that still runs.
#pragma once

#include "driver/extension.h"

// Makes the request cancellable, just before its first chunk is sent: marks it pending, takes its
// reference and sets its cancel routine. FALSE when it had been cancelled already: then no chunk
// may be sent, and the transfer ends as a cancelled one. PASSIVE_LEVEL.
BOOLEAN ArmTransferCancel(PDEVICE_OBJECT Fdo, PIRP Irp);

// Ends a request that ArmTransferCancel made cancellable, with Status and Information: completes
// it now, or leaves that to its cancel routine when it is still to finish. Neither the request nor
// the device may be touched afterwards. Up to DISPATCH_LEVEL.
void EndTransferRequest(PDEVICE_OBJECT Fdo, PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
