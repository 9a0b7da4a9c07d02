// Calling a driver with an IRP, and the checks on what its dispatch routine returns.
#include <sstream>
#include <utility>

#include "sim/core/system.h"
#include "sim/image/routine_call.h"
#include "sim/io/io_manager.h"
#include "sim/power/power_manager.h"
#include "sim/sync/dispatcher.h"

namespace sim {

namespace {

std::string statusText(NTSTATUS status) {
    std::ostringstream out;
    out << "0x" << std::hex << static_cast<ULONG>(status);
    return out.str();
}

} // namespace

// The steps below take the manager's lock once before the dispatch routine runs and once after;
// only a power IRP, whose check may let the device's next power IRP go (the power manager locks
// its own state and then calls back here), has its check made between two holds of the lock.
NTSTATUS IoManager::callDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver,
                               const SimCallSite& site) {
    std::unique_lock lock(mutex_);
    NTSTATUS refused = admitCall(device, irp, site);
    if (refused != STATUS_SUCCESS)
        return refused;
    refused = checkPassingOn(device, irp, viaPoCallDriver, site);
    if (refused != STATUS_SUCCESS)
        return refused;
    if (!viaPoCallDriver && irp->CurrentLocation <= irp->StackCount &&
        irp->Tail.Overlay.CurrentStackLocation->MajorFunction == IRP_MJ_POWER) {
        // PoCallDriver makes this check itself; a power IRP passed on without it is checked here.
        lock.unlock();
        current().power().checkStartedNext(irp, "passed on", site);
        lock.lock();
    }
    const IrpEvent sent = enterNextLocation(device, irp, site);
    lock.unlock();
    notify(sent);
    const NTSTATUS status = runDispatch(device, irp, sent);
    lock.lock();
    noteDispatchReturned(irp, sent, status);
    return status;
}

// The IRP is live and the device object one that may take it. mutex_ held.
NTSTATUS IoManager::admitCall(PDEVICE_OBJECT device, PIRP irp, const SimCallSite& site) {
    if (!liveLocked(irp, "IofCallDriver", site))
        return STATUS_INVALID_PARAMETER;
    const DeviceRecord* target = findDevice(device);
    if (target == nullptr) {
        current().verifier().report(Rule::ObjectMisuse,
                                    "IofCallDriver with " + describeIrp(irp) +
                                        " to something that is not a device object",
                                    site);
        return STATUS_INVALID_PARAMETER;
    }
    if (!target->deleted)
        return STATUS_SUCCESS;
    // A deleted device object that file objects still keep gets their cleanup and close: those
    // opened on it, or on a filter still attached above it that passes them down.
    const UCHAR nextMajor = irp->CurrentLocation > 1
                                ? (irp->Tail.Overlay.CurrentStackLocation - 1)->MajorFunction
                                : UCHAR{0};
    long handles = 0;
    for (PDEVICE_OBJECT d = device; d != nullptr; d = d->AttachedDevice) {
        const DeviceRecord* rec = findDevice(d);
        if (rec == nullptr || rec->released)
            break;
        handles += rec->openHandles;
    }
    if ((nextMajor == IRP_MJ_CLEANUP || nextMajor == IRP_MJ_CLOSE) && handles > 0)
        return STATUS_SUCCESS;
    current().verifier().report(Rule::RequestToDeletedDevice,
                                describeIrp(irp) + " sent to deleted " + describeDevice(device),
                                site);
    irp->IoStatus.Status = STATUS_DELETE_PENDING;
    return STATUS_DELETE_PENDING;
}

// What the sending driver must have done before passing the IRP on. mutex_ held.
NTSTATUS IoManager::checkPassingOn(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver,
                                   const SimCallSite& site) {
    if (cancelRoutineSet(irp))
        current().verifier().report(Rule::IrpForwardedWithCancelRoutine,
                                    describeIrp(irp) + " passed on with its cancel routine set",
                                    site);
    if (irp->CurrentLocation <= 1) {
        current().verifier().report(
            Rule::NoMoreStackLocations,
            describeIrp(irp) + " has no stack location left for " + describeDevice(device), site);
        return STATUS_INVALID_PARAMETER;
    }
    if ((irp->Tail.Overlay.CurrentStackLocation - 1)->MajorFunction == IRP_MJ_POWER &&
        !viaPoCallDriver)
        current().verifier().report(Rule::PowerIrpSentWithCallDriver,
                                    describeIrp(irp) + " is a power IRP: send it with PoCallDriver",
                                    site);
    return STATUS_SUCCESS;
}

// Moves the IRP to the next lower location and records who sent it there. mutex_ held.
IrpEvent IoManager::enterNextLocation(PDEVICE_OBJECT device, PIRP irp, const SimCallSite& site) {
    IrpRecord& rec = *irps_.at(irp);
    notePassedOn(rec, irp, irp->CurrentLocation);
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    const int location = irp->CurrentLocation;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = device;
    // The platform has the sender of a Plug and Play IRP preset its status, so that a request
    // no driver handles comes back as not supported.
    if (!rec.sent && stack->MajorFunction == IRP_MJ_PNP &&
        irp->IoStatus.Status != STATUS_NOT_SUPPORTED)
        current().verifier().report(Rule::PnpIrpStatusNotPreset,
                                    describeIrp(irp) + " sent with status " +
                                        statusText(irp->IoStatus.Status) +
                                        " (preset it to STATUS_NOT_SUPPORTED)",
                                    site);
    rec.sent = true;
    rec.atLowerDriver = true;
    rec.locations.at(static_cast<std::size_t>(location)) =
        IrpLocationRecord{.dispatchCaller = site,
                          .device = device,
                          .major = stack->MajorFunction,
                          .minor = stack->MinorFunction};
    rec.remember({.kind = IrpHistoryEntry::Kind::Sent,
                  .site = site,
                  .major = stack->MajorFunction,
                  .minor = stack->MinorFunction,
                  .text = findDevice(device)->name});
    return {.kind = IrpEvent::Kind::Sent,
            .irp = irp,
            .id = rec.id,
            .device = device,
            .location = location,
            .stackCount = irp->StackCount,
            .major = stack->MajorFunction,
            .minor = stack->MinorFunction,
            .site = site};
}

// Calls the dispatch routine (without the manager's lock) and checks the state it returns in.
NTSTATUS IoManager::runDispatch(PDEVICE_OBJECT device, PIRP irp, const IrpEvent& sent) {
    const KIRQL irqlBefore = currentIrql();
    const std::size_t locksBefore = heldSpinLocks().size();
    const PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[sent.major];
    const NTSTATUS status = callDriverRoutine(dispatch, device, irp);
    IrpEvent returned = sent;
    returned.kind = IrpEvent::Kind::DispatchReturned;
    returned.status = status;
    notify(returned);

    if (currentIrql() != irqlBefore)
        current().verifier().report(Rule::DispatchChangedIrql,
                                    describeDevice(device) + " returned at IRQL " +
                                        std::to_string(currentIrql()) + ", entered at " +
                                        std::to_string(irqlBefore),
                                    sent.site);
    if (heldSpinLocks().size() > locksBefore)
        current().verifier().report(Rule::DispatchReturnedWithLockHeld,
                                    describeDevice(device) +
                                        " returned holding a spin lock acquired at " +
                                        describe(heldSpinLocks().back().acquiredAt),
                                    sent.site);
    return status;
}

// The dispatch routine's status against what it did with the IRP: checked now if the IRP has
// already left its location, otherwise when it does. mutex_ held.
void IoManager::noteDispatchReturned(PIRP irp, const IrpEvent& sent, NTSTATUS status) {
    IrpRecord* rec = findRecord(irp, sent.id);
    if (rec == nullptr)
        return;
    IrpLocationRecord& loc = rec->locations.at(static_cast<std::size_t>(sent.location));
    loc.dispatchReturned = true;
    loc.dispatchStatus = status;
    if (loc.passed) {
        checkDispatchReturn(irp, *rec, sent.location);
    } else if (status != STATUS_PENDING && !rec->freed) {
        current().verifier().report(Rule::DispatchStatusMismatch,
                                    describeDevice(sent.device) + " returned " +
                                        statusText(status) + " for " + describeIrp(irp) +
                                        " which it has neither completed nor pended (return "
                                        "STATUS_PENDING)",
                                    sent.site);
        loc.dispatchReturned = false;
    }
}

bool IoManager::markStartedNextPower(PIRP irp) {
    std::lock_guard lock(mutex_);
    IrpRecord* rec = findRecord(irp);
    if (rec == nullptr || irp->CurrentLocation > irp->StackCount)
        return false;
    IrpLocationRecord& loc = rec->locations.at(static_cast<std::size_t>(irp->CurrentLocation));
    return !std::exchange(loc.startedNextPower, true);
}

bool IoManager::startedNextPower(PIRP irp) {
    std::lock_guard lock(mutex_);
    IrpRecord* rec = findRecord(irp);
    return rec != nullptr && irp->CurrentLocation <= irp->StackCount &&
           rec->locations.at(static_cast<std::size_t>(irp->CurrentLocation)).startedNextPower;
}

// The passing driver's location: it is done with the IRP unless it set a completion routine.
void IoManager::notePassedOn(IrpRecord& record, PIRP irp, int location) {
    if (location > irp->StackCount)
        return;
    IrpLocationRecord& loc = record.locations.at(static_cast<std::size_t>(location));
    loc.passedOn = true;
    loc.routineBelow = (irp->Tail.Overlay.CurrentStackLocation - 1)->CompletionRoutine != nullptr;
}

void IoManager::noteHandedOn(PIRP irp) {
    std::lock_guard lock(mutex_);
    if (IrpRecord* rec = findRecord(irp))
        notePassedOn(*rec, irp, irp->CurrentLocation);
}

// Both the dispatch routine's return and the completion leaving its location have happened.
void IoManager::checkDispatchReturn(PIRP irp, IrpRecord& record, int location) {
    IrpLocationRecord& loc = record.locations.at(static_cast<std::size_t>(location));
    const SimCallSite& site = loc.dispatchCaller;
    if (loc.dispatchStatus == STATUS_PENDING && !loc.pendingMarked) {
        current().verifier().report(
            Rule::PendingReturnedNotMarked,
            "STATUS_PENDING returned for " + describeIrp(irp) + " without IoMarkIrpPending", site);
    } else if (loc.dispatchStatus != STATUS_PENDING && loc.pendingMarked) {
        current().verifier().report(Rule::PendingMarkedNotReturned,
                                    describeIrp(irp) +
                                        " was marked pending but dispatch returned " +
                                        statusText(loc.dispatchStatus),
                                    site);
    } else if (loc.dispatchStatus != STATUS_PENDING && loc.dispatchStatus != loc.statusWhenLeft) {
        current().verifier().report(Rule::DispatchStatusMismatch,
                                    "dispatch returned " + statusText(loc.dispatchStatus) +
                                        " but completed " + describeIrp(irp) + " with " +
                                        statusText(loc.statusWhenLeft),
                                    site);
    }
    loc.dispatchReturned = false;
}

} // namespace sim
