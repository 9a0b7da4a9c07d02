// Chunk tracking: ChunkLock, ChunkWalkers and the deferred frees (the design is in the header).
#include "io/chunk_tracking.h"

namespace {

// ChunkLock held for the extent of a scope. Nothing that may complete, cancel or free an IRP runs
// inside one.
class ChunkLockHeld {
public:
    explicit ChunkLockHeld(PDEVICE_EXTENSION Ext)
        : Lock_(&Ext->ChunkLock), OldIrql_(KfAcquireSpinLock(Lock_)) {}
    ~ChunkLockHeld() { KfReleaseSpinLock(Lock_, OldIrql_); }
    ChunkLockHeld(const ChunkLockHeld&) = delete;
    ChunkLockHeld& operator=(const ChunkLockHeld&) = delete;

private:
    PKSPIN_LOCK Lock_;
    KIRQL OldIrql_;
};

// What the last walker (or removal) takes off the extension to free once the lock is released:
// a NULL-terminated chain of IRPs through their list entries, and a chain of arrays.
struct DeferredChunks {
    PLIST_ENTRY FirstIrp;
    PCHUNK_CONTEXT FirstArray;
};

// A finished array is chained to the next one through its first record's Urb: every chunk that
// could read that field has finished, and a walk reads only DeviceObject and Irp.
PCHUNK_CONTEXT& NextDeferredArray(PCHUNK_CONTEXT Array) {
    return reinterpret_cast<PCHUNK_CONTEXT&>(Array[0].Urb);
}

// ChunkLock held.
void DeferIrp(PDEVICE_EXTENSION Ext, PIRP Irp) {
    const PLIST_ENTRY head = &Ext->DeferredChunkIrps;
    const PLIST_ENTRY entry = &Irp->Tail.Overlay.ListEntry;
    entry->Flink = head;
    entry->Blink = head->Blink;
    head->Blink->Flink = entry;
    head->Blink = entry;
}

// ChunkLock held.
void DeferArray(PDEVICE_EXTENSION Ext, PCHUNK_CONTEXT Array) {
    NextDeferredArray(Array) = Ext->DeferredChunkArray;
    Ext->DeferredChunkArray = Array;
}

// ChunkLock held. Leaves the extension with nothing deferred.
DeferredChunks TakeDeferred(PDEVICE_EXTENSION Ext) {
    DeferredChunks taken = {nullptr, Ext->DeferredChunkArray};
    Ext->DeferredChunkArray = nullptr;
    const PLIST_ENTRY head = &Ext->DeferredChunkIrps;
    if (head->Flink != head) {
        taken.FirstIrp = head->Flink;
        head->Blink->Flink = nullptr;
        head->Flink = head;
        head->Blink = head;
    }
    return taken;
}

// ChunkLock not held.
void FreeDeferred(const DeferredChunks& Taken) {
    for (PLIST_ENTRY entry = Taken.FirstIrp; entry != nullptr;) {
        const PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        entry = entry->Flink;
        IoFreeIrp(irp);
    }
    for (PCHUNK_CONTEXT array = Taken.FirstArray; array != nullptr;) {
        const PCHUNK_CONTEXT next = NextDeferredArray(array);
        ExFreePool(array);
        array = next;
    }
}

// ChunkLock held.
PCHUNK_CONTEXT BeginWalk(PDEVICE_EXTENSION Ext) {
    const PCHUNK_CONTEXT array = Ext->ChunkContexts;
    if (array != nullptr) {
        ++Ext->ChunkWalkers;
        Ext->ChunksCancelled = TRUE;
    }
    return array;
}

} // namespace

void InitializeChunkTracking(PDEVICE_EXTENSION Ext) {
    KeInitializeSpinLock(&Ext->ChunkLock);
    Ext->ChunkWalkers = 0;
    Ext->DeferredChunkIrps.Flink = &Ext->DeferredChunkIrps;
    Ext->DeferredChunkIrps.Blink = &Ext->DeferredChunkIrps;
    Ext->DeferredChunkArray = nullptr;
}

void PublishChunkArray(PDEVICE_OBJECT Fdo, PCHUNK_CONTEXT Array) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    ChunkLockHeld held(ext);
    ext->ChunkContexts = Array;
    ext->ChunksCancelled = FALSE;
}

BOOLEAN TrackChunk(PDEVICE_OBJECT Fdo, PCHUNK_CONTEXT Record, PURB Urb, PIRP Irp) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    ChunkLockHeld held(ext);
    if (ext->ChunksCancelled)
        return FALSE;
    Record->Urb = Urb;
    Record->DeviceObject = Fdo;
    Record->Irp = Irp;
    return TRUE;
}

void FinishChunk(PDEVICE_OBJECT Fdo, PCHUNK_CONTEXT Record) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    // Only this chunk's own TrackChunk wrote the field; a walk only reads it.
    const PIRP irp = Record->Irp;
    if (irp == nullptr)
        return;
    // A walk passes the IRP to IoCancelIrp at most, which never looks at its MDL.
    if (irp->MdlAddress != nullptr) {
        IoFreeMdl(irp->MdlAddress);
        irp->MdlAddress = nullptr;
    }

    BOOLEAN walked;
    {
        ChunkLockHeld held(ext);
        Record->Irp = nullptr;
        walked = ext->ChunkWalkers > 0;
        if (walked)
            DeferIrp(ext, irp);
    }
    if (!walked)
        IoFreeIrp(irp);
}

void FinishChunkArray(PDEVICE_OBJECT Fdo, PCHUNK_CONTEXT Array) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    BOOLEAN walked;
    {
        ChunkLockHeld held(ext);
        if (ext->ChunkContexts == Array)
            ext->ChunkContexts = nullptr;
        walked = ext->ChunkWalkers > 0;
        if (walked)
            DeferArray(ext, Array);
    }
    if (!walked)
        ExFreePool(Array);
}

PCHUNK_CONTEXT BeginChunkWalk(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    ChunkLockHeld held(ext);
    return BeginWalk(ext);
}

PCHUNK_CONTEXT BeginFirstChunkWalk(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    ChunkLockHeld held(ext);
    return ext->ChunksCancelled ? nullptr : BeginWalk(ext);
}

BOOLEAN ReadChunkRecord(PDEVICE_OBJECT Fdo, const CHUNK_CONTEXT* Record, PIRP* Irp) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    ChunkLockHeld held(ext);
    if (Record->DeviceObject == nullptr)
        return FALSE;
    *Irp = Record->Irp;
    return TRUE;
}

ULONG CountTrackedChunks(PDEVICE_OBJECT Fdo, const CHUNK_CONTEXT* First) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    ChunkLockHeld held(ext);
    ULONG count = 0;
    while (First[count].DeviceObject != nullptr)
        ++count;
    return count;
}

void EndChunkWalk(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    DeferredChunks taken = {nullptr, nullptr};
    {
        ChunkLockHeld held(ext);
        if (--ext->ChunkWalkers == 0)
            taken = TakeDeferred(ext);
    }
    FreeDeferred(taken);
}

void ReleaseChunkTracking(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    PCHUNK_CONTEXT array;
    DeferredChunks taken;
    {
        ChunkLockHeld held(ext);
        array = ext->ChunkContexts;
        ext->ChunkContexts = nullptr;
        taken = TakeDeferred(ext);
    }
    if (array != nullptr)
        ExFreePool(array);
    FreeDeferred(taken);
}
