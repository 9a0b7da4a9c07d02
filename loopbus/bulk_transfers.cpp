// Bulk transfers on the loopback device's two pipes.
//
// A transfer the device can serve at once ends inside the call. One it cannot serve yet (an IN
// with nothing queued, an OUT the queue has no room for) waits, pending and cancellable, in its
// pipe's list, behind the ones that wait already: bytes leave in the order they were written and
// transfers of one pipe end in the order they were sent. Every transfer that ends lets the
// device serve the waiting ones again (an OUT brings data for waiting INs, an IN makes room for
// waiting OUTs), in the thread of the request that made it possible.
//
// A waiting IRP keeps its data pointer and pipe index in Tail.Overlay.DriverContext and its
// place in a list in Tail.Overlay.ListEntry. It is owned by whoever clears its cancel routine
// first under the bus lock: the serving thread, a flush, or the cancel routine.
#include "loopbus/loopbus.h"
#include "loopbus/pool.h"
#include "loopbus/urb_outcome.h"

namespace {

PLIST_ENTRY EntryOf(PIRP Irp) {
    return &Irp->Tail.Overlay.ListEntry;
}
PIRP IrpOf(PLIST_ENTRY Entry) {
    return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
}
PURB UrbOf(PIRP Irp) {
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1);
}
UCHAR* DataOf(PIRP Irp) {
    return static_cast<UCHAR*>(Irp->Tail.Overlay.DriverContext[0]);
}
ULONG PipeOf(PIRP Irp) {
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Irp->Tail.Overlay.DriverContext[1]));
}
PLIST_ENTRY WaitingList(CHILD_EXTENSION* Child, ULONG Pipe) {
    return Pipe == 0 ? &Child->WaitingIn : &Child->WaitingOut;
}

// Out of its list; a second unlink (by a cancel routine that lost the race) does nothing.
void Unlink(PIRP Irp) {
    RemoveEntryList(EntryOf(Irp));
    InitializeListHead(EntryOf(Irp));
}

// Sets the transfer's end in its URB and IRP; completed later, outside the lock.
void End(PIRP Irp, const UrbOutcome& Outcome, ULONG Bytes) {
    PURB urb = UrbOf(Irp);
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = Bytes;
    urb->UrbHeader.Status = Outcome.UsbStatus;
    Irp->IoStatus.Status = Outcome.Status;
    Irp->IoStatus.Information = 0;
}

void CompleteAll(PLIST_ENTRY Done) {
    while (!IsListEmpty(Done))
        IoCompleteRequest(IrpOf(RemoveHeadList(Done)), IO_NO_INCREMENT);
}

// The armed fault a transfer meets; applied (and disarmed) only when the transfer ends.
void ApplyFault(CHILD_EXTENSION* Child, LOOPBUS_FAULT& Fault, UCHAR* Data, ULONG Moved) {
    if (Fault.Kind == LoopbusFaultCorrupt) {
        if (Moved == 0)
            return; // nothing to corrupt: stays armed for the next transfer that moves data
        Data[Fault.Bytes < Moved ? Fault.Bytes : Moved - 1] ^= 0xFF;
    }
    if (Fault.Kind != LoopbusFaultNone) {
        Fault.Kind = LoopbusFaultNone;
        ++Child->Bus->Counts.FaultsApplied;
    }
}

// Lets the device serve the transfer; false when it must wait. Lock held.
bool Serve(CHILD_EXTENSION* Child, PIRP Irp) {
    auto& transfer = UrbOf(Irp)->UrbBulkOrInterruptTransfer;
    const ULONG pipe = PipeOf(Irp);
    const bool in = pipe == 0;
    UrbOutcome outcome = kUrbSuccess;
    if (PortFailure(Child, &outcome)) {
        End(Irp, outcome, 0);
        return true;
    }
    if (Child->Pipes[pipe].Halted) {
        End(Irp, kUrbStalled, 0);
        return true;
    }
    LOOPBUS_FAULT& fault = in ? Child->FaultIn : Child->FaultOut;
    if (fault.Kind == LoopbusFaultFail) {
        ApplyFault(Child, fault, nullptr, 0);
        End(Irp, {STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING}, 0);
        return true;
    }
    const ULONG asked = transfer.TransferBufferLength;
    const ULONG offered =
        fault.Kind == LoopbusFaultShort && fault.Bytes < asked ? fault.Bytes : asked;
    UCHAR* data = DataOf(Irp);
    const LoopbackResult result =
        in ? Child->Device.In(data, offered) : Child->Device.Out(data, offered);
    if (result.Outcome == LoopbackOutcome::Wait)
        return false;
    const auto moved = static_cast<ULONG>(result.Bytes);
    ApplyFault(Child, fault, data, moved);
    (in ? Child->Bus->Counts.BulkInBytes : Child->Bus->Counts.BulkOutBytes) += moved;
    const bool shortOk = (transfer.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    if (in && !shortOk && moved < asked)
        outcome = {STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER};
    End(Irp, outcome, moved);
    return true;
}

void NTAPI CancelTransfer(PDEVICE_OBJECT Pdo, PIRP Irp);

// Serves the transfers waiting in one list, in order, up to the first that must wait still.
// Returns whether any ended. Lock held.
bool ServeWaiting(CHILD_EXTENSION* Child, PLIST_ENTRY List, PLIST_ENTRY Done) {
    bool progress = false;
    while (!IsListEmpty(List)) {
        PIRP irp = IrpOf(List->Flink);
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
            Unlink(irp); // its cancel routine is running: it completes the IRP
            continue;
        }
        if (!Serve(Child, irp)) {
            IoSetCancelRoutine(irp, CancelTransfer);
            if (!irp->Cancel || IoSetCancelRoutine(irp, nullptr) == nullptr)
                break; // waits on; the ones behind it wait with it
            ++Child->Bus->Counts.CancelledTransfers;
            End(irp, kUrbCancelled, 0);
        }
        Unlink(irp);
        InsertTailList(Done, EntryOf(irp));
        progress = true;
    }
    return progress;
}

void ServeAllWaiting(CHILD_EXTENSION* Child, PLIST_ENTRY Done) {
    bool progress = true;
    while (progress) {
        progress = ServeWaiting(Child, &Child->WaitingIn, Done);
        progress = ServeWaiting(Child, &Child->WaitingOut, Done) || progress;
    }
}

void NTAPI CancelTransfer(PDEVICE_OBJECT Pdo, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    CHILD_EXTENSION* child = ChildOf(Pdo);
    LIST_ENTRY done;
    InitializeListHead(&done);
    {
        BusLockGuard lock(child->Bus);
        Unlink(Irp);
        ++child->Bus->Counts.CancelledTransfers;
        End(Irp, kUrbCancelled, 0);
        // The transfers it held back may go now.
        ServeAllWaiting(child, &done);
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    CompleteAll(&done);
}

} // namespace

NTSTATUS SubmitBulkTransfer(CHILD_EXTENSION* Child, PIRP Irp, PURB Urb, UCHAR* Data, ULONG Pipe) {
    UNREFERENCED_PARAMETER(Urb); // the IRP's stack location leads to it from here on
    Irp->Tail.Overlay.DriverContext[0] = Data;
    Irp->Tail.Overlay.DriverContext[1] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Pipe));
    LIST_ENTRY done;
    InitializeListHead(&done);
    NTSTATUS status = STATUS_PENDING;
    {
        BusLockGuard lock(Child->Bus);
        PLIST_ENTRY list = WaitingList(Child, Pipe);
        if (IsListEmpty(list) && Serve(Child, Irp)) {
            status = Irp->IoStatus.Status;
            ServeAllWaiting(Child, &done);
        } else {
            IoMarkIrpPending(Irp);
            InsertTailList(list, EntryOf(Irp));
            IoSetCancelRoutine(Irp, CancelTransfer);
            if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
                Unlink(Irp);
                ++Child->Bus->Counts.CancelledTransfers;
                End(Irp, kUrbCancelled, 0);
                InsertTailList(&done, EntryOf(Irp));
            }
        }
    }
    if (status != STATUS_PENDING)
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    CompleteAll(&done);
    return status;
}

void FlushTransfers(CHILD_EXTENSION* Child, ULONG Pipe, const UrbOutcome& Outcome) {
    LIST_ENTRY done;
    InitializeListHead(&done);
    {
        BusLockGuard lock(Child->Bus);
        for (ULONG p = 0; p < kLoopbusPipeCount; ++p) {
            if (Pipe != kLoopbusPipeCount && Pipe != p)
                continue;
            PLIST_ENTRY list = WaitingList(Child, p);
            for (PLIST_ENTRY entry = list->Flink; entry != list;) {
                PIRP irp = IrpOf(entry);
                entry = entry->Flink;
                if (IoSetCancelRoutine(irp, nullptr) == nullptr)
                    continue; // its cancel routine is running: it completes the IRP
                Unlink(irp);
                ++Child->Bus->Counts.CancelledTransfers;
                End(irp, Outcome, 0);
                InsertTailList(&done, EntryOf(irp));
            }
        }
    }
    CompleteAll(&done);
}
