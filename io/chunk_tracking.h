// Chunk tracking: the records of ChunkContexts that a transfer's chunks and the cancelling walk
// (io/cancel_transfers.h) share, and the rules that keep the walk from touching an IRP or an
// array that has been freed.
//
// The design. A walk over ChunkContexts counts itself in ChunkWalkers for as long as it may read
// a record or pass a chunk IRP to IoCancelIrp. A chunk that finishes while any walk is in
// progress does not free its IRP: it clears its record's Irp and puts the IRP on
// DeferredChunkIrps (linked through Irp->Tail.Overlay.ListEntry, which the driver may use while it
// owns the IRP after its completion routine took it back). The completion that ends the transfer
// does the same with the array (DeferredChunkArray). The walk that takes ChunkWalkers back to 0
// frees what was deferred. Every read and write of a record's Irp and DeviceObject, of
// ChunkContexts, of ChunkWalkers and of the deferred items is made under ChunkLock; the lock is
// never held while an IRP is cancelled or freed, because a cancelled chunk's completion can run
// inside IoCancelIrp and takes the lock itself.
//
// Every routine here runs at IRQL <= DISPATCH_LEVEL unless it says otherwise.
#pragma once

#include "driver/extension.h"

// Prepares the lock and the deferred items of a new extension. Called by device creation.
void InitializeChunkTracking(PDEVICE_EXTENSION Ext);

// --- for the transfer and its chunks -----------------------------------------------------------

// Makes Array (zero-filled, one record per planned chunk plus the all-zero record that ends it)
// the ChunkContexts of the transfer now starting.
void PublishChunkArray(PDEVICE_OBJECT Fdo, PCHUNK_CONTEXT Array);

// Fills Record for a chunk about to be sent: from here on a walk may cancel Irp. FALSE, Record
// left as it was, once a walk has begun over the transfer's array: the chunk must not be sent, or
// it could reach the device after an earlier chunk was cancelled.
BOOLEAN TrackChunk(PDEVICE_OBJECT Fdo, PCHUNK_CONTEXT Record, PURB Urb, PIRP Irp);

// The end of one chunk, called from its completion routine once the IRP is the driver's again:
// clears Record->Irp, frees the IRP's MDL and frees the IRP, or leaves the IRP to the last walker
// when a walk is in progress. The record keeps its Urb and DeviceObject; the URB stays the
// caller's to free. The IRP must not be touched after this call.
void FinishChunk(PDEVICE_OBJECT Fdo, PCHUNK_CONTEXT Record);

// The end of the transfer, called by whatever finishes it once every sent chunk has been through
// FinishChunk: Array stops being ChunkContexts and is freed, or left to the last walker when a
// walk is in progress. Array must not be touched after this call.
void FinishChunkArray(PDEVICE_OBJECT Fdo, PCHUNK_CONTEXT Array);

// --- for the walk ------------------------------------------------------------------------------

// Starts a walk: returns ChunkContexts with the walk counted in ChunkWalkers, or NULL (and no
// walk counted) when no transfer is in flight. No chunk of that transfer is tracked after this. The
// array stays allocated until EndChunkWalk.
PCHUNK_CONTEXT BeginChunkWalk(PDEVICE_OBJECT Fdo);

// Starts the walk of the chunk that broke the transfer, from its completion: as BeginChunkWalk,
// but NULL (no walk counted) once any walk has begun over the transfer's array. So only the first
// chunk to break walks, and the chunks a walk cancels, which break too, start none of their own.
PCHUNK_CONTEXT BeginFirstChunkWalk(PDEVICE_OBJECT Fdo);

// Reads one record of the walked array: FALSE for the record that ends the array; otherwise TRUE
// with *Irp the chunk's IRP, or NULL when the chunk has finished. An IRP read here stays allocated
// until EndChunkWalk, though it may complete at any moment.
BOOLEAN ReadChunkRecord(PDEVICE_OBJECT Fdo, const CHUNK_CONTEXT* Record, PIRP* Irp);

// Counts the records from First on whose chunk was tracked, up to the record that ends the array
// or the first of a chunk never sent (the chunks are tracked in order), in one look under the
// lock. For a walk, and for the completion that finishes the transfer (no walk needed: the array
// is its own until FinishChunkArray).
ULONG CountTrackedChunks(PDEVICE_OBJECT Fdo, const CHUNK_CONTEXT* First);

// Ends a walk begun by BeginChunkWalk; the last walk out frees what finished meanwhile. Nothing
// read during the walk may be used afterwards.
void EndChunkWalk(PDEVICE_OBJECT Fdo);

// --- at removal --------------------------------------------------------------------------------

// Frees ChunkContexts, if set, and anything deferred. Only for removal, after the last
// outstanding reference is gone: no chunk and no walk is left then. PASSIVE_LEVEL.
void ReleaseChunkTracking(PDEVICE_OBJECT Fdo);
