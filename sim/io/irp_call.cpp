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

NTSTATUS IoManager::callDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver,
                               const SimCallSite& site) {
    if (!checkLive(irp, "IofCallDriver", site))
        return STATUS_INVALID_PARAMETER;
    DeviceRecord* target = record(device);
    if (target == nullptr) {
        current().verifier().report(Rule::ObjectMisuse,
                                    "IofCallDriver with " + describeIrp(irp) +
                                        " to something that is not a device object",
                                    site);
        return STATUS_INVALID_PARAMETER;
    }
    // A deleted device object that file objects still keep gets their cleanup and close: those
    // opened on it, or on a filter still attached above it that passes them down.
    const UCHAR nextMajor = irp->CurrentLocation > 1
                                ? (irp->Tail.Overlay.CurrentStackLocation - 1)->MajorFunction
                                : UCHAR{0};
    bool deleted = false;
    long handles = 0;
    {
        std::lock_guard lock(mutex_);
        deleted = target->deleted;
        for (PDEVICE_OBJECT d = device; d != nullptr; d = d->AttachedDevice) {
            const DeviceRecord* rec = record(d);
            if (rec == nullptr || rec->released)
                break;
            handles += rec->openHandles;
        }
    }
    const bool lastRequests =
        (nextMajor == IRP_MJ_CLEANUP || nextMajor == IRP_MJ_CLOSE) && handles > 0;
    if (deleted && !lastRequests) {
        current().verifier().report(Rule::RequestToDeletedDevice,
                                    describeIrp(irp) + " sent to deleted " + describeDevice(device),
                                    site);
        irp->IoStatus.Status = STATUS_DELETE_PENDING;
        return STATUS_DELETE_PENDING;
    }
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
    // PoCallDriver makes this check itself; a power IRP passed on without it is checked here.
    if (!viaPoCallDriver && irp->CurrentLocation <= irp->StackCount)
        current().power().checkStartedNext(irp, "passed on", site);

    {
        std::lock_guard lock(mutex_);
        notePassedOn(*irps_.at(irp), irp, irp->CurrentLocation);
    }
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    const int location = irp->CurrentLocation;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = device;
    if (stack->MajorFunction == IRP_MJ_POWER && !viaPoCallDriver)
        current().verifier().report(Rule::PowerIrpSentWithCallDriver,
                                    describeIrp(irp) + " is a power IRP: send it with PoCallDriver",
                                    site);
    IrpEvent sent{.kind = IrpEvent::Kind::Sent,
                  .irp = irp,
                  .device = device,
                  .location = location,
                  .stackCount = irp->StackCount,
                  .major = stack->MajorFunction,
                  .minor = stack->MinorFunction,
                  .site = site};
    {
        std::lock_guard lock(mutex_);
        IrpRecord& rec = *irps_.at(irp);
        sent.id = rec.id;
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
                      .text = target->name});
    }
    notify(sent);

    const KIRQL irqlBefore = currentIrql();
    const std::size_t locksBefore = heldSpinLocks().size();
    const PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
    const NTSTATUS status = callDriverRoutine(dispatch, device, irp);
    IrpEvent returned = sent;
    returned.kind = IrpEvent::Kind::DispatchReturned;
    returned.status = status;
    notify(returned);

    if (currentIrql() != irqlBefore)
        current().verifier().report(Rule::DispatchChangedIrql,
                                    target->name + " returned at IRQL " +
                                        std::to_string(currentIrql()) + ", entered at " +
                                        std::to_string(irqlBefore),
                                    site);
    if (heldSpinLocks().size() > locksBefore)
        current().verifier().report(Rule::DispatchReturnedWithLockHeld,
                                    target->name + " returned holding a spin lock acquired at " +
                                        describe(heldSpinLocks().back().acquiredAt),
                                    site);

    std::lock_guard lock(mutex_);
    if (IrpRecord* rec = findRecord(irp, sent.id)) {
        IrpLocationRecord& loc = rec->locations.at(static_cast<std::size_t>(location));
        loc.dispatchReturned = true;
        loc.dispatchStatus = status;
        if (loc.passed) {
            checkDispatchReturn(irp, *rec, location);
        } else if (status != STATUS_PENDING && !rec->freed) {
            current().verifier().report(
                Rule::DispatchStatusMismatch,
                target->name + " returned " + statusText(status) + " for " + describeIrp(irp) +
                    " which it has neither completed nor pended (return STATUS_PENDING)",
                site);
            loc.dispatchReturned = false;
        }
    }
    return status;
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
