// Transfer cancellation.
//
// The walk is held apart from the chunk completions by chunk tracking (io/chunk_tracking.h): the
// array and every IRP read from it stay allocated until EndChunkWalk, and no lock is held across
// IoCancelIrp, inside which a cancelled chunk's completion may run.
//
// The order: the walk ends (EndChunkWalk) before the wait on TransferDoneEvent. The wait then
// holds nothing a completion needs, and the chunks that finish during it free their IRPs, and the
// last one the array, at once instead of leaving them deferred for as long as the wait lasts.
// Nothing read during the walk is used after it.
#include "io/cancel_transfers.h"
#include "io/chunk_tracking.h"

namespace {

struct WalkResult {
    ULONG Cancelled;
    BOOLEAN Refused; // some chunk IRP could not be cancelled
};

// Last chunk first: the bus serves a pipe's transfers in order, so a chunk still queued behind
// one just cancelled could otherwise go to the device after it, and the transfer, which reports
// the bytes its chunks moved, would count bytes that are not the start of the buffer (a write
// whose first chunk never went, but whose second did, said to have moved 4 KiB).
// The walk covers the records from First to the one that ends the array.
WalkResult CancelWalkedChunks(PDEVICE_OBJECT Fdo, PCHUNK_CONTEXT First) {
    WalkResult result = {0, FALSE};
    PIRP irp = nullptr;
    for (ULONG index = CountTrackedChunks(Fdo, First); index > 0; --index) {
        if (!ReadChunkRecord(Fdo, &First[index - 1], &irp) || irp == nullptr)
            continue; // that chunk has finished
        // FALSE also for a chunk whose completion the bus has begun: the walk goes on, so that
        // one chunk finishing at that moment does not leave the others in flight.
        if (IoCancelIrp(irp))
            ++result.Cancelled;
        else
            result.Refused = TRUE;
    }
    return result;
}

// Every chunk of the transfer in flight, if there is one.
WalkResult CancelTransferChunks(PDEVICE_OBJECT Fdo) {
    const PCHUNK_CONTEXT array = BeginChunkWalk(Fdo);
    if (array == nullptr)
        return {0, FALSE};
    const WalkResult walk = CancelWalkedChunks(Fdo, array);
    EndChunkWalk(Fdo);
    return walk;
}

} // namespace

ULONG CancelPendingTransfers(PDEVICE_OBJECT Fdo) {
    const WalkResult walk = CancelTransferChunks(Fdo);

    // Only when every chunk asked went: a lower driver that truly refuses a cancel must not hang
    // the stop. TransferDoneEvent is never reset: once any transfer has ended this returns at
    // once, and removal still waits for each chunk through the outstanding-request count.
    if (walk.Cancelled > 0 && !walk.Refused)
        KeWaitForSingleObject(&GetExtension(Fdo)->TransferDoneEvent, Suspended, KernelMode, FALSE,
                              nullptr);
    return walk.Cancelled;
}

void CancelChunksInFlight(PDEVICE_OBJECT Fdo) {
    CancelTransferChunks(Fdo);
}

void CancelChunksAfter(PDEVICE_OBJECT Fdo, PCHUNK_CONTEXT Record) {
    // Record's chunk still counts: the array stays allocated whether or not the walk begins.
    if (BeginFirstChunkWalk(Fdo) == nullptr)
        return;
    CancelWalkedChunks(Fdo, Record + 1);
    EndChunkWalk(Fdo);
}
