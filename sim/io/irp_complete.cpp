// Completing an IRP: completion routines from the bottom up, chosen by their control bits,
// stopping at STATUS_MORE_PROCESSING_REQUIRED, carrying PendingReturned up; at the top, an IRP the
// I/O manager owns is finished (status block, event, buffers) and freed.
#include <atomic>
#include <cstring>

#include "sim/core/system.h"
#include "sim/image/routine_call.h"
#include "sim/io/io_manager.h"
#include "sim/power/power_manager.h"
#include "sim/sync/dispatcher.h"

namespace sim {

namespace {

bool wantsInvocation(UCHAR control, NTSTATUS status, bool cancelled) {
    return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
           (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
           (cancelled && (control & SL_INVOKE_ON_CANCEL));
}

} // namespace

void IoManager::completeRequest(PIRP irp, const SimCallSite& site) {
    {
        // An IRP already finished at the top has been freed by its owner by now; completing it
        // again is the mistake to name, not merely the use after free.
        std::lock_guard lock(mutex_);
        IrpRecord* rec = findRecord(irp);
        if (rec != nullptr && rec->finished) {
            current().verifier().report(Rule::IrpCompletedTwice,
                                        describeIrp(irp) + " completed again", site);
            return;
        }
    }
    if (!checkLive(irp, "IofCompleteRequest", site))
        return;
    // A driver that completes a power IRP lets the device's next one go first.
    if (irp->CurrentLocation <= irp->StackCount)
        current().power().checkStartedNext(irp, "completed", site);
    std::uint64_t pass = 0;
    IrpEvent completed{.kind = IrpEvent::Kind::Completed,
                       .irp = irp,
                       .location = irp->CurrentLocation,
                       .stackCount = irp->StackCount,
                       .status = irp->IoStatus.Status,
                       .information = irp->IoStatus.Information,
                       .site = site};
    {
        std::lock_guard lock(mutex_);
        IrpRecord& rec = *irps_.at(irp);
        if (rec.finished || (rec.completing && !rec.inRoutine)) {
            current().verifier().report(Rule::IrpCompletedTwice,
                                        describeIrp(irp) + " completed again", site);
            return;
        }
        if (irp->CurrentLocation > irp->StackCount) {
            current().verifier().report(
                Rule::IrpCompletedAfterMoreProcessing,
                describeIrp(irp) + " completed after its last completion routine took it back "
                                   "with STATUS_MORE_PROCESSING_REQUIRED (free it instead)",
                site);
            return;
        }
        rec.completing = true;
        rec.inRoutine = false;
        pass = ++rec.pass;
        completed.id = rec.id;
        if (irp->CurrentLocation <= irp->StackCount)
            completed.device = irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        rec.remember({.kind = IrpHistoryEntry::Kind::Completed,
                      .site = site,
                      .status = irp->IoStatus.Status});
    }
    notify(completed);
    if (irp->IoStatus.Status == STATUS_PENDING)
        current().verifier().report(Rule::IrpCompletedWithPending,
                                    describeIrp(irp) + " completed with STATUS_PENDING", site);
    if (!heldSpinLocks().empty())
        current().verifier().report(Rule::CompletedHoldingSpinLock,
                                    describeIrp(irp) +
                                        " completed holding the spin lock acquired at " +
                                        describe(heldSpinLocks().back().acquiredAt),
                                    site);
    if (cancelRoutineSet(irp))
        current().verifier().report(Rule::IrpCompletedWithCancelRoutine,
                                    describeIrp(irp) + " completed with its cancel routine set",
                                    site);

    PIO_STACK_LOCATION leaving = irp->Tail.Overlay.CurrentStackLocation;
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    for (; irp->CurrentLocation <= irp->StackCount + 1;
         ++leaving, irp->CurrentLocation++, irp->Tail.Overlay.CurrentStackLocation++) {
        PIO_COMPLETION_ROUTINE routine = nullptr;
        PVOID context = nullptr;
        bool invoke = false;
        {
            std::lock_guard lock(mutex_);
            IrpRecord& rec = *irps_.at(irp);
            const int location = irp->CurrentLocation - 1;
            const UCHAR control = leaving->Control;
            IrpLocationRecord& loc = rec.locations.at(static_cast<std::size_t>(location));
            loc.passed = true;
            loc.pendingMarked = (control & SL_PENDING_RETURNED) != 0;
            loc.statusWhenLeft = irp->IoStatus.Status;
            if (loc.dispatchReturned)
                checkDispatchReturn(irp, rec, location);

            irp->PendingReturned = (control & SL_PENDING_RETURNED) ? TRUE : FALSE;
            const bool cancelled = std::atomic_ref<BOOLEAN>(irp->Cancel).load() != FALSE;
            routine = leaving->CompletionRoutine;
            context = leaving->Context;
            invoke =
                routine != nullptr && wantsInvocation(control, irp->IoStatus.Status, cancelled);
            std::memset(leaving, 0, sizeof(*leaving));
            rec.inRoutine = invoke;
            rec.atLowerDriver = rec.atLowerDriver && !invoke;
            if (!invoke && irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
                irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
        }
        if (!invoke)
            continue;

        PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                                    ? nullptr
                                    : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        const int routineLocation = irp->CurrentLocation;
        const NTSTATUS result = callDriverRoutine(routine, device, irp, context);
        // The IRP may be freed or completed anew by now: the event carries only what was known.
        notify({.kind = IrpEvent::Kind::CompletionRoutine,
                .irp = irp,
                .id = completed.id,
                .device = device,
                .location = routineLocation,
                .stackCount = completed.stackCount,
                .status = result,
                .routine = routine,
                .site = site});
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            // The IRP is its owner's again, and may be freed or completed anew by now.
            std::lock_guard lock(mutex_);
            auto it = irps_.find(irp);
            if (it != irps_.end() && it->second->pass == pass) {
                it->second->completing = false;
                it->second->inRoutine = false;
            }
            return;
        }
        std::lock_guard lock(mutex_);
        auto it = irps_.find(irp);
        if (it == irps_.end() || it->second->pass != pass) {
            current().verifier().report(
                Rule::IrpCompletedTwice,
                describeIrp(irp) + " was freed or completed again by its completion routine, "
                                   "which then did not return STATUS_MORE_PROCESSING_REQUIRED",
                site);
            return;
        }
        it->second->inRoutine = false;
    }

    std::lock_guard lock(mutex_);
    finishAtTop(irp, *irps_.at(irp), site);
}

// The last completion routine let the IRP through: it is back with whoever created it.
void IoManager::finishAtTop(PIRP irp, IrpRecord& record, const SimCallSite& site) {
    record.completing = false;
    record.atLowerDriver = false;
    record.finished = true;
    notify({.kind = IrpEvent::Kind::Finished,
            .irp = irp,
            .id = record.id,
            .status = irp->IoStatus.Status,
            .information = irp->IoStatus.Information,
            .site = site});
    if (record.origin == IrpOrigin::Driver) {
        current().verifier().report(Rule::DriverIrpCompletedToTop,
                                    describeIrp(irp) +
                                        " completed past its last stack location: a driver's own "
                                        "IRP must be taken back by its completion routine",
                                    site);
        return;
    }
    if (record.onTop)
        record.onTop(irp);
    releaseIrp(irp, record);
}

BOOLEAN IoManager::cancelIfInFlight(PIRP irp, std::uint64_t id, const SimCallSite& site) {
    // Held across the cancel (the mutex is recursive): the IRP cannot be finished and freed
    // between the look and IoCancelIrp.
    std::lock_guard lock(mutex_);
    auto it = irps_.find(irp);
    if (it == irps_.end() || it->second->id != id || it->second->freed || it->second->finished)
        return FALSE;
    return cancelIrp(irp, site);
}

BOOLEAN IoManager::cancelIrp(PIRP irp, const SimCallSite& site) {
    if (!checkLive(irp, "IoCancelIrp", site))
        return FALSE;
    note(irp, "cancelled at " + describe(site)); // rare: worded at once
    notify({.kind = IrpEvent::Kind::Cancelled, .irp = irp, .id = irpId(irp), .site = site});
    const KIRQL irql = KfAcquireSpinLock(&cancelLock_, site);
    std::atomic_ref<BOOLEAN>(irp->Cancel).store(TRUE);
    const PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        KfReleaseSpinLock(&cancelLock_, irql, site);
        return FALSE;
    }
    irp->CancelIrql = irql;
    // The cancel routine releases the cancel spin lock itself.
    callDriverRoutine(routine, irp->Tail.Overlay.CurrentStackLocation->DeviceObject, irp);
    return TRUE;
}

} // namespace sim
