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

// The steps below take the manager's lock once to begin the pass (twice for a power IRP, whose
// check may let the device's next power IRP go), once after each completion routine called and
// once to climb to the next routine or the top; the routines run without it.
void IoManager::completeRequest(PIRP irp, const SimCallSite& site) {
    CompletionPass pass;
    {
        std::unique_lock lock(mutex_);
        if (!admitCompletion(irp, site))
            return;
        if (irp->CurrentLocation <= irp->StackCount &&
            irp->Tail.Overlay.CurrentStackLocation->MajorFunction == IRP_MJ_POWER) {
            // A driver that completes a power IRP lets the device's next one go first.
            lock.unlock();
            current().power().checkStartedNext(irp, "completed", site);
            lock.lock();
        }
        if (!beginPass(irp, site, pass))
            return;
    }
    notify(pass.completed);
    checkCompletingContext(irp, site);
    stepUp(irp);
    bool routineRan = false;
    while (climbToRoutine(irp, pass, routineRan, site)) {
        if (callRoutine(irp, pass, site) == STATUS_MORE_PROCESSING_REQUIRED) {
            giveBack(irp, pass);
            return;
        }
        routineRan = true;
    }
}

// Neither finished at its top already (its owner has freed it by now, and completing it again is
// the mistake to name, not merely the use after free) nor freed. mutex_ held.
bool IoManager::admitCompletion(PIRP irp, const SimCallSite& site) {
    const IrpRecord* rec = findRecord(irp);
    if (rec != nullptr && rec->finished) {
        current().verifier().report(Rule::IrpCompletedTwice, describeIrp(irp) + " completed again",
                                    site);
        return false;
    }
    return liveLocked(irp, "IofCompleteRequest", site);
}

// Starts a completion pass, unless one runs that has not handed the IRP to a routine or the last
// routine has taken it back. mutex_ held.
bool IoManager::beginPass(PIRP irp, const SimCallSite& site, CompletionPass& pass) {
    IrpRecord& rec = *irps_.at(irp);
    if (rec.finished || (rec.completing && !rec.inRoutine)) {
        current().verifier().report(Rule::IrpCompletedTwice, describeIrp(irp) + " completed again",
                                    site);
        return false;
    }
    if (irp->CurrentLocation > irp->StackCount) {
        current().verifier().report(Rule::IrpCompletedAfterMoreProcessing,
                                    describeIrp(irp) +
                                        " completed after its last completion routine took it back "
                                        "with STATUS_MORE_PROCESSING_REQUIRED (free it instead)",
                                    site);
        return false;
    }
    rec.completing = true;
    rec.inRoutine = false;
    pass.number = ++rec.pass;
    pass.completed = {.kind = IrpEvent::Kind::Completed,
                      .irp = irp,
                      .id = rec.id,
                      .device = irp->Tail.Overlay.CurrentStackLocation->DeviceObject,
                      .location = irp->CurrentLocation,
                      .stackCount = irp->StackCount,
                      .status = irp->IoStatus.Status,
                      .information = irp->IoStatus.Information,
                      .site = site};
    rec.remember(
        {.kind = IrpHistoryEntry::Kind::Completed, .site = site, .status = irp->IoStatus.Status});
    return true;
}

// What the completing driver may not do: complete with STATUS_PENDING, hold a spin lock, leave
// its cancel routine set.
void IoManager::checkCompletingContext(PIRP irp, const SimCallSite& site) {
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
}

void IoManager::stepUp(PIRP irp) {
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}

// Takes the IRP back from the routine just called (if one was), then leaves location after
// location up to the next routine to call (true) or past the top, where the IRP is finished
// (false). One hold of the lock for all of it.
bool IoManager::climbToRoutine(PIRP irp, CompletionPass& pass, bool routineRan,
                               const SimCallSite& site) {
    std::lock_guard lock(mutex_);
    auto it = irps_.find(irp);
    if (it == irps_.end() && !routineRan) {
        current().verifier().report(Rule::IrpUsedAfterFree,
                                    describeIrp(irp) + " freed while it was being completed",
                                    pass.completed.site);
        return false;
    }
    if (routineRan) {
        if (it == irps_.end() || it->second->pass != pass.number) {
            current().verifier().report(
                Rule::IrpCompletedTwice,
                describeIrp(irp) + " was freed or completed again by its completion routine, "
                                   "which then did not return STATUS_MORE_PROCESSING_REQUIRED",
                site);
            return false;
        }
        it->second->inRoutine = false;
        stepUp(irp);
    }
    IrpRecord& rec = *it->second;
    for (; irp->CurrentLocation <= irp->StackCount + 1; stepUp(irp))
        if (leaveLocation(irp, rec, pass))
            return true;
    finishAtTop(irp, rec, site);
    return false;
}

// Records the location below the current one as left and clears it; true when its completion
// routine is to be called (pass.routine, pass.context), otherwise carries the pending flag up.
// mutex_ held.
bool IoManager::leaveLocation(PIRP irp, IrpRecord& rec, CompletionPass& pass) {
    PIO_STACK_LOCATION leaving = irp->Tail.Overlay.CurrentStackLocation - 1;
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
    pass.routine = leaving->CompletionRoutine;
    pass.context = leaving->Context;
    const bool invoke =
        pass.routine != nullptr && wantsInvocation(control, irp->IoStatus.Status, cancelled);
    std::memset(leaving, 0, sizeof(*leaving));
    rec.inRoutine = invoke;
    rec.atLowerDriver = rec.atLowerDriver && !invoke;
    if (!invoke && irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
        irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
    return invoke;
}

// Calls the routine found by climbToRoutine, without the manager's lock.
NTSTATUS IoManager::callRoutine(PIRP irp, const CompletionPass& pass, const SimCallSite& site) {
    PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                                ? nullptr
                                : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    const int routineLocation = irp->CurrentLocation;
    const NTSTATUS result = callDriverRoutine(pass.routine, device, irp, pass.context);
    // The IRP may be freed or completed anew by now: the event carries only what was known.
    notify({.kind = IrpEvent::Kind::CompletionRoutine,
            .irp = irp,
            .id = pass.completed.id,
            .device = device,
            .location = routineLocation,
            .stackCount = pass.completed.stackCount,
            .status = result,
            .routine = pass.routine,
            .site = site});
    return result;
}

// STATUS_MORE_PROCESSING_REQUIRED: the IRP is its owner's again, and may be freed or completed
// anew by now (a newer pass then owns the record).
void IoManager::giveBack(PIRP irp, const CompletionPass& pass) {
    std::lock_guard lock(mutex_);
    auto it = irps_.find(irp);
    if (it != irps_.end() && it->second->pass == pass.number) {
        it->second->completing = false;
        it->second->inRoutine = false;
    }
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
