// Passing power IRPs: the serialisation of each device's set and query IRPs, delivery at
// PASSIVE_LEVEL to drivers whose power handling is pageable, and the checks on
// PoStartNextPowerIrp.
#include <sstream>

#include "sim/core/system.h"
#include "sim/io/io_manager.h"
#include "sim/power/power_manager.h"
#include "sim/sync/dispatcher.h"

namespace sim {

namespace {

// A driver that set DO_POWER_PAGABLE (and not DO_POWER_INRUSH) takes power IRPs at PASSIVE_LEVEL.
bool handlesPowerAtPassive(PDEVICE_OBJECT device) {
    return (device->Flags & DO_POWER_PAGABLE) != 0 && (device->Flags & DO_POWER_INRUSH) == 0;
}

// The IRP goes on later: the stack location of whoever passes it now, if it has one, is marked
// pending, so that the caller may return what PoCallDriver returned, and it is done with the IRP.
void handOnLater(PIRP irp) {
    if (irp->CurrentLocation > irp->StackCount)
        return;
    IoMarkIrpPending(irp);
    current().io().noteHandedOn(irp);
}

const char* kindName(bool system) {
    return system ? "system power IRP" : "device power IRP";
}

} // namespace

bool PowerManager::serialised(UCHAR minor) {
    return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
}

NTSTATUS PowerManager::callDriver(PDEVICE_OBJECT device, PIRP irp, const SimCallSite& site) {
    IoManager& io = current().io();
    if (!io.checkLive(irp, "PoCallDriver", site))
        return STATUS_INVALID_PARAMETER;
    if (irp->CurrentLocation <= 1 || io.record(device) == nullptr)
        return io.callDriver(device, irp, true, site); // which reports what is wrong
    if (irp->CurrentLocation <= irp->StackCount)
        checkStartedNext(irp, "passed on", site);

    const IO_STACK_LOCATION& next = *(irp->Tail.Overlay.CurrentStackLocation - 1);
    if (next.MajorFunction != IRP_MJ_POWER || !serialised(next.MinorFunction))
        return present(device, irp, site);
    const bool system = next.Parameters.Power.Type == SystemPowerState;
    {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[device][system ? kSystem : kDevice];
        if (slot.active != nullptr) {
            // Marked before any other thread can let it go.
            handOnLater(irp);
            io.note(irp, "waits at " + io.describeDevice(device) +
                             " until the driver there calls PoStartNextPowerIrp for the " +
                             kindName(system) + " it holds");
            slot.waiting.push_back(Queued{irp, site});
            return STATUS_PENDING;
        }
        slot.active = irp;
    }
    return present(device, irp, site);
}

NTSTATUS PowerManager::present(PDEVICE_OBJECT device, PIRP irp, const SimCallSite& site) {
    IoManager& io = current().io();
    const DeviceRecord* target = io.record(device);
    if (target != nullptr && !target->deleted && currentIrql() > PASSIVE_LEVEL &&
        handlesPowerAtPassive(device)) {
        handOnLater(irp);
        io.note(irp, "passed on at IRQL " + std::to_string(currentIrql()) +
                         ": delivered at PASSIVE_LEVEL by the power manager's worker");
        worker_.post([device, irp, site] { current().io().callDriver(device, irp, true, site); });
        return STATUS_PENDING;
    }
    return io.callDriver(device, irp, true, site);
}

void PowerManager::startNext(PIRP irp, const SimCallSite& site) {
    IoManager& io = current().io();
    if (!io.checkLive(irp, "PoStartNextPowerIrp", site))
        return;
    if (irp->CurrentLocation > irp->StackCount) {
        current().verifier().report(
            Rule::ObjectMisuse,
            "PoStartNextPowerIrp on " + io.describeIrp(irp) + ", which no driver holds yet", site);
        return;
    }
    const IO_STACK_LOCATION& here = *irp->Tail.Overlay.CurrentStackLocation;
    if (here.MajorFunction != IRP_MJ_POWER) {
        current().verifier().report(
            Rule::ObjectMisuse,
            "PoStartNextPowerIrp on " + io.describeIrp(irp) + ", which is not a power IRP", site);
        return;
    }
    if (!io.markStartedNextPower(irp)) {
        current().verifier().report(Rule::ObjectMisuse,
                                    "PoStartNextPowerIrp called again by " +
                                        io.describeDevice(here.DeviceObject) + " for " +
                                        io.describeIrp(irp),
                                    site);
        return;
    }
    if (serialised(here.MinorFunction))
        releaseSlot(here.DeviceObject,
                    here.Parameters.Power.Type == SystemPowerState ? kSystem : kDevice, irp);
}

void PowerManager::checkStartedNext(PIRP irp, const char* what, const SimCallSite& site) {
    IoManager& io = current().io();
    const IO_STACK_LOCATION& here = *irp->Tail.Overlay.CurrentStackLocation;
    if (here.MajorFunction != IRP_MJ_POWER || !serialised(here.MinorFunction) ||
        io.startedNextPower(irp))
        return;
    current().verifier().report(Rule::PowerIrpWithoutStartNext,
                                io.describeIrp(irp) + " " + what + " by " +
                                    io.describeDevice(here.DeviceObject) +
                                    " without PoStartNextPowerIrp (the power manager lets the "
                                    "device's next power IRP go in its stead)",
                                site);
    io.markStartedNextPower(irp);
    releaseSlot(here.DeviceObject,
                here.Parameters.Power.Type == SystemPowerState ? kSystem : kDevice, irp);
}

void PowerManager::releaseSlot(PDEVICE_OBJECT device, Kind kind, PIRP irp) {
    Queued next;
    {
        std::lock_guard lock(mutex_);
        auto it = slots_.find(device);
        if (it == slots_.end())
            return;
        Slot& slot = it->second[kind];
        if (slot.active != irp)
            return; // the IRP reached the device without PoCallDriver: it held no slot
        if (slot.waiting.empty()) {
            slot.active = nullptr;
            // An idle device holds no slots: the map stays as small as the devices at work.
            const auto& other = it->second[kind == kSystem ? kDevice : kSystem];
            if (other.active == nullptr && other.waiting.empty())
                slots_.erase(it);
            return;
        }
        next = slot.waiting.front();
        slot.waiting.pop_front();
        slot.active = next.irp;
    }
    worker_.post([device, next] { current().io().callDriver(device, next.irp, true, next.site); });
}

} // namespace sim
