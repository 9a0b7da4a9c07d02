// Allocating, describing and freeing IRPs.
#include <sstream>

#include "sim/core/system.h"
#include "sim/io/io_manager.h"
#include "sim/util/poison.h"

namespace sim {

namespace {

constexpr std::size_t kQuarantinedIrps = 512;

const char* originName(IrpOrigin origin) {
    switch (origin) {
    case IrpOrigin::Driver:
        return "allocated by a driver";
    case IrpOrigin::DeviceControl:
        return "built for device control";
    case IrpOrigin::Application:
        return "sent by the application";
    case IrpOrigin::Power:
        return "requested from the power manager";
    case IrpOrigin::Pnp:
        return "sent by the Plug and Play manager";
    }
    return "?";
}

} // namespace

IoManager::IoManager() {
    KeInitializeSpinLock(&cancelLock_);
}

IoManager::~IoManager() {
    for (auto& [irp, record] : freedIrps_)
        unpoison(record->memory.get(), record->size);
    for (auto& [device, record] : devices_)
        unpoison(record->memory.get(), record->size);
}

IrpRecord* IoManager::findRecord(PIRP irp) {
    auto it = irps_.find(irp);
    if (it != irps_.end())
        return it->second.get();
    for (auto i = freedIrps_.rbegin(); i != freedIrps_.rend(); ++i)
        if (i->first == irp)
            return i->second.get();
    return nullptr;
}

// The record of the IRP that carried this id: the address may already belong to another IRP, as
// a pended IRP can be completed and freed, and its memory handed out again, before the dispatch
// routine that pended it has returned.
IrpRecord* IoManager::findRecord(PIRP irp, std::uint64_t id) {
    auto it = irps_.find(irp);
    if (it != irps_.end() && it->second->id == id)
        return it->second.get();
    for (auto i = freedIrps_.rbegin(); i != freedIrps_.rend(); ++i)
        if (i->first == irp && i->second->id == id)
            return i->second.get();
    return nullptr;
}

std::string describe(const IrpHistoryEntry& entry) {
    std::ostringstream out;
    switch (entry.kind) {
    case IrpHistoryEntry::Kind::Allocated:
        out << "allocated at " << describe(entry.site);
        break;
    case IrpHistoryEntry::Kind::Sent:
        out << "major 0x" << std::hex << int(entry.major) << " minor 0x" << int(entry.minor)
            << " sent to " << entry.text << " from " << describe(entry.site);
        break;
    case IrpHistoryEntry::Kind::Completed:
        out << "completed with 0x" << std::hex << static_cast<ULONG>(entry.status) << " at "
            << describe(entry.site);
        break;
    case IrpHistoryEntry::Kind::Freed:
        out << "freed at " << describe(entry.site);
        break;
    case IrpHistoryEntry::Kind::Note:
        out << entry.text;
        break;
    }
    return out.str();
}

void IoManager::note(PIRP irp, std::string what) {
    std::lock_guard lock(mutex_);
    if (IrpRecord* record = findRecord(irp))
        record->remember({.kind = IrpHistoryEntry::Kind::Note, .text = std::move(what)});
}

std::string IoManager::describeIrp(PIRP irp) {
    std::lock_guard lock(mutex_);
    std::ostringstream out;
    IrpRecord* record = findRecord(irp);
    if (record == nullptr) {
        out << "IRP " << static_cast<const void*>(irp) << " (not an IRP of this system)";
        return out.str();
    }
    out << "IRP #" << record->id << " (" << originName(record->origin) << " at "
        << describe(record->allocatedAt) << (record->freed ? ", freed" : "") << ")";
    if (!record->history.empty()) {
        out << "; history:";
        for (const auto& h : record->history)
            out << " [" << describe(h) << "]";
    }
    return out.str();
}

PIRP IoManager::allocateIrp(CCHAR stackSize, IrpOrigin origin, const SimCallSite& site) {
    const int locations = stackSize < 1 ? 1 : stackSize;
    auto record = std::make_unique<IrpRecord>();
    record->size = sizeof(IRP) + static_cast<std::size_t>(locations) * sizeof(IO_STACK_LOCATION);
    record->memory = std::make_unique<std::byte[]>(record->size); // zero-filled
    record->origin = origin;
    record->allocatedAt = site;
    record->locations.resize(static_cast<std::size_t>(locations) + 2);
    record->history.reserve(IrpRecord::kHistoryReserved);

    auto* irp = reinterpret_cast<PIRP>(record->memory.get());
    auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(record->size);
    irp->StackCount = static_cast<CHAR>(locations);
    irp->CurrentLocation = static_cast<CHAR>(locations + 1);
    irp->Tail.Overlay.CurrentStackLocation = stack + locations;
    irp->ThreadListEntry.Flink = &irp->ThreadListEntry;
    irp->ThreadListEntry.Blink = &irp->ThreadListEntry;

    std::uint64_t id = 0;
    {
        std::lock_guard lock(mutex_);
        id = record->id = nextIrpId_++;
        record->remember({.kind = IrpHistoryEntry::Kind::Allocated, .site = site});
        irps_.emplace(irp, std::move(record));
    }
    notify({.kind = IrpEvent::Kind::Allocated,
            .irp = irp,
            .id = id,
            .stackCount = locations,
            .site = site});
    return irp;
}

void IoManager::notify(const IrpEvent& event) const {
    if (IrpObserver* observer = observer_.load())
        observer->onIrpEvent(event);
}

bool IoManager::checkLive(PIRP irp, const char* operation, const SimCallSite& site) {
    std::lock_guard lock(mutex_);
    return liveLocked(irp, operation, site);
}

bool IoManager::liveLocked(PIRP irp, const char* operation, const SimCallSite& site) {
    auto it = irps_.find(irp);
    if (it != irps_.end() && !it->second->freed)
        return true;
    const std::string what = irp == nullptr ? std::string("a NULL IRP") : describeIrp(irp);
    current().verifier().report(Rule::IrpUsedAfterFree, std::string(operation) + " on " + what,
                                site);
    return false;
}

void IoManager::releaseIrp(PIRP irp, IrpRecord& record) {
    record.freed = true;
    auto it = irps_.find(irp);
    if (it == irps_.end())
        return;
    poisonFreed(record.memory.get(), record.size);
    freedIrps_.emplace_back(irp, std::move(it->second));
    irps_.erase(it);
    if (freedIrps_.size() > kQuarantinedIrps) {
        auto& oldest = freedIrps_.front().second;
        unpoison(oldest->memory.get(), oldest->size);
        freedIrps_.pop_front();
    }
}

void IoManager::freeIrp(PIRP irp, const SimCallSite& site) {
    if (!checkLive(irp, "IoFreeIrp", site))
        return;
    std::lock_guard lock(mutex_);
    IrpRecord& record = *irps_.at(irp);
    if (record.origin != IrpOrigin::Driver) {
        current().verifier().report(Rule::IoManagerIrpFreedByDriver,
                                    "IoFreeIrp on " + describeIrp(irp) +
                                        ": the I/O manager frees the IRPs it builds",
                                    site);
        return;
    }
    if (record.atLowerDriver) {
        // Left live: the lower driver completes it later, and the routine takes it back.
        current().verifier().report(Rule::IrpFreedAtLowerDriver,
                                    "IoFreeIrp on " + describeIrp(irp) +
                                        ": a lower driver still holds it (free it once its "
                                        "completion routine has it back)",
                                    site);
        return;
    }
    // Freeing from inside its own completion routine is how a driver reclaims its IRP: the pass
    // that called the routine does not touch the IRP once the routine has returned.
    record.remember({.kind = IrpHistoryEntry::Kind::Freed, .site = site});
    notify({.kind = IrpEvent::Kind::Freed, .irp = irp, .id = record.id, .site = site});
    releaseIrp(irp, record);
}

void IoManager::setTopCompletion(PIRP irp, TopCompletion onTop) {
    std::lock_guard lock(mutex_);
    if (IrpRecord* record = findRecord(irp))
        record->onTop = std::move(onTop);
}

std::uint64_t IoManager::irpId(PIRP irp) {
    std::lock_guard lock(mutex_);
    IrpRecord* record = findRecord(irp);
    return record != nullptr ? record->id : 0;
}

std::size_t IoManager::liveIrpCount() {
    std::lock_guard lock(mutex_);
    return irps_.size();
}

void IoManager::reportLeaks() {
    std::lock_guard lock(mutex_);
    for (auto& [irp, record] : irps_) {
        if (record->origin == IrpOrigin::Driver) {
            current().verifier().report(Rule::DriverIrpLeaked,
                                        describeIrp(irp) + " was never freed");
        } else {
            current().verifier().report(Rule::IrpNeverCompleted,
                                        describeIrp(irp) + " was never completed");
        }
    }
}

} // namespace sim
