#include "sim/memory/mdl_table.h"

#include <algorithm>
#include <cstdio>

#include "sim/core/system.h"
#include "sim/memory/pool.h"
#include "sim/sync/dispatcher.h"
#include "sim/util/poison.h"

namespace sim {

namespace {

constexpr std::uintptr_t kPageMask = PAGE_SIZE - 1;

std::uintptr_t firstByte(const MDL& mdl) {
    return reinterpret_cast<std::uintptr_t>(mdl.StartVa) + mdl.ByteOffset;
}

std::size_t pagesSpanned(std::uintptr_t address, std::size_t length) {
    return ((address & kPageMask) + length + kPageMask) / PAGE_SIZE;
}

// Points the platform record at [address, address + length).
void describeRange(MDL& mdl, std::uintptr_t address, ULONG length) {
    mdl.StartVa = reinterpret_cast<PVOID>(address & ~kPageMask);
    mdl.ByteOffset = static_cast<ULONG>(address & kPageMask);
    mdl.ByteCount = length;
    const std::size_t bytes = sizeof(MDL) + pagesSpanned(address, length) * sizeof(ULONG);
    mdl.Size = static_cast<CSHORT>(std::min<std::size_t>(bytes, 0x7FFF));
}

std::string hex(std::uintptr_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%zx", static_cast<std::size_t>(value));
    return text;
}

} // namespace

MdlTable::MdlTable(bool verifying) : verifying_(verifying) {}

MdlTable::~MdlTable() {
    for (auto& [mdl, record] : quarantine_)
        unpoison(record.mdl.get(), sizeof(MDL));
    for (auto& node : spare_)
        unpoison(node.mapped().mdl.get(), sizeof(MDL));
}

PMDL MdlTable::allocate(PVOID virtualAddress, ULONG length, const SimCallSite& site) {
    const RecordedSite allocatedAt = verifying_ ? RecordedSite(site) : RecordedSite();
    // Non-paged pool needs no probing: the system addresses it as it is.
    const bool nonpaged = current().pool().contains(virtualAddress, length);
    const auto address = reinterpret_cast<std::uintptr_t>(virtualAddress);
    std::lock_guard lock(mutex_);
    Record* record = nullptr;
    if (!spare_.empty()) {
        RecordMap::node_type node = std::move(spare_.back());
        spare_.pop_back();
        unpoison(node.mapped().mdl.get(), sizeof(MDL));
        *node.mapped().mdl = MDL{};
        node.mapped().view.reset();
        node.mapped().locked = false;
        node.mapped().source = nullptr;
        record = &live_.insert(std::move(node)).position->second;
    } else {
        auto made = std::make_unique<MDL>();
        PMDL key = made.get();
        record = &live_.emplace(key, Record{}).first->second;
        record->mdl = std::move(made);
    }
    MDL& mdl = *record->mdl;
    record->allocatedAt = allocatedAt;
    describeRange(mdl, address, length);
    record->capacityPages = pagesSpanned(address, length);
    record->nonpaged = nonpaged;
    if (nonpaged) {
        mdl.MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
        mdl.MappedSystemVa = virtualAddress;
    }
    record->serial = ++serial_;
    return &mdl;
}

// Keeps a record that is no longer in use, and its MDL, for the next allocation. mutex_ held.
void MdlTable::keepSpare(RecordMap::node_type node) {
    if (spare_.size() >= kSpareMdls)
        return; // the record and its MDL go
    poisonUnused(node.mapped().mdl.get(), sizeof(MDL));
    spare_.push_back(std::move(node));
}

void MdlTable::free(PMDL mdl, const SimCallSite& site) {
    Reports reports;
    {
        std::lock_guard lock(mutex_);
        release(mdl, site, reports);
    }
    send(reports, site);
}

void MdlTable::release(PMDL mdl, const SimCallSite& site, Reports& reports) {
    auto node = live_.extract(mdl);
    if (!node) {
        reports.push_back({Rule::MdlMisuse, notLive(mdl, "IoFreeMdl")});
        return;
    }
    Record& record = node.mapped();
    if (record.locked)
        reports.push_back({Rule::MdlMisuse, describe(record) +
                                                " freed with its pages still locked (locked at " +
                                                record.lockedAt.text() + ")"});
    record.view.reset();
    if (!verifying_) {
        keepSpare(std::move(node));
        return;
    }
    record.freedAt = RecordedSite(site);
    // A driver still reading the freed record finds garbage, as it would on the platform.
    poisonFreed(mdl, sizeof(MDL));
    quarantineOrder_.push_back(mdl);
    quarantine_.insert(std::move(node));
    if (quarantineOrder_.size() > kQuarantineMdls) {
        auto oldest = quarantine_.extract(quarantineOrder_.front());
        quarantineOrder_.pop_front();
        unpoison(oldest.mapped().mdl.get(), sizeof(MDL));
        keepSpare(std::move(oldest));
    }
}

void MdlTable::buildPartial(PMDL source, PMDL target, PVOID virtualAddress, ULONG length,
                            const SimCallSite& site) {
    Reports reports;
    {
        std::lock_guard lock(mutex_);
        Record* from = live(source);
        Record* to = live(target);
        const auto address = reinterpret_cast<std::uintptr_t>(virtualAddress);
        if (from == nullptr || to == nullptr) {
            reports.push_back(
                {Rule::MdlMisuse, notLive(from == nullptr ? source : target, "IoBuildPartialMdl")});
        } else if (from == to) {
            reports.push_back({Rule::MdlMisuse, "IoBuildPartialMdl with " + describe(*from) +
                                                    " as both source and target"});
        } else {
            const std::uintptr_t sourceStart = firstByte(*source);
            const std::uintptr_t sourceEnd = sourceStart + source->ByteCount;
            // A zero length means: from the address to the end of the source.
            if (length == 0 && address >= sourceStart && address <= sourceEnd)
                length = static_cast<ULONG>(sourceEnd - address);
            const std::size_t pages = pagesSpanned(address, length);
            if (address < sourceStart || address + length > sourceEnd) {
                reports.push_back({Rule::MdlMisuse, "IoBuildPartialMdl of " + hex(address) + " +" +
                                                        std::to_string(length) +
                                                        ", outside the buffer of " +
                                                        describe(*from)});
            } else if (!from->locked && !from->nonpaged) {
                reports.push_back(
                    {Rule::MdlMisuse, "IoBuildPartialMdl over " + describe(*from) +
                                          ", which is neither locked nor non-paged pool"});
            } else if (to->locked) {
                reports.push_back({Rule::MdlMisuse, "IoBuildPartialMdl into " + describe(*to) +
                                                        ", whose own pages are locked"});
            } else if (pages > to->capacityPages) {
                reports.push_back({Rule::MdlMisuse, "IoBuildPartialMdl into " + describe(*to) +
                                                        ", allocated for " +
                                                        std::to_string(to->capacityPages) +
                                                        " pages, of a range of " +
                                                        std::to_string(pages) + " pages"});
            } else {
                describeRange(*target, address, length);
                to->source = from->source != nullptr ? from->source : source;
                to->nonpaged = from->nonpaged;
                to->view.reset();
                target->Process = source->Process;
                target->MdlFlags = MDL_PARTIAL;
                target->MappedSystemVa = nullptr;
                if (to->nonpaged) {
                    target->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
                    target->MappedSystemVa = virtualAddress;
                }
            }
        }
    }
    send(reports, site);
}

NTSTATUS MdlTable::probeAndLock(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation,
                                const SimCallSite& site) {
    Reports reports;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    {
        std::lock_guard lock(mutex_);
        Record* record = live(mdl);
        if (record == nullptr) {
            reports.push_back({Rule::MdlMisuse, notLive(mdl, "MmProbeAndLockPages")});
        } else if (record->source != nullptr) {
            reports.push_back({Rule::MdlMisuse, "MmProbeAndLockPages of partial " +
                                                    describe(*record) +
                                                    ": its source's pages are the ones locked"});
        } else if (record->locked) {
            reports.push_back({Rule::MdlMisuse, "MmProbeAndLockPages of " + describe(*record) +
                                                    ", locked already at " +
                                                    record->lockedAt.text()});
        } else if (record->nonpaged) {
            // Pool is resident; only a probe on behalf of user mode faults on it.
            status = accessMode == UserMode ? STATUS_ACCESS_VIOLATION : STATUS_SUCCESS;
        } else {
            checkUserProbe(*record, accessMode, reports);
            const auto access = operation == IoReadAccess ? UserAddressSpace::Access::Read
                                                          : UserAddressSpace::Access::Write;
            record->view =
                current().userSpace().lock(MmGetMdlVirtualAddress(mdl), mdl->ByteCount, access);
            status = record->view ? STATUS_SUCCESS : STATUS_ACCESS_VIOLATION;
        }
        if (status == STATUS_SUCCESS) {
            record->locked = true;
            if (verifying_)
                record->lockedAt = RecordedSite(site);
            mdl->MdlFlags |= MDL_PAGES_LOCKED;
        }
    }
    send(reports, site);
    return status;
}

// An application's buffer is probed on behalf of user mode, at APC level at most: a kernel-mode
// probe checks nothing of the address, and the pages may need to be brought in.
void MdlTable::checkUserProbe(const Record& record, KPROCESSOR_MODE accessMode,
                              Reports& reports) const {
    const MDL& mdl = *record.mdl;
    if (accessMode == KernelMode && UserAddressSpace::isUserAddress(mdl.StartVa))
        reports.push_back({Rule::KernelModeProbeOfUserBuffer,
                           "MmProbeAndLockPages in KernelMode of " + describe(record) +
                               ", an application's address: probe it as UserMode"});
    if (currentIrql() > APC_LEVEL)
        reports.push_back({Rule::UserProbeAboveApcLevel,
                           "MmProbeAndLockPages of " + describe(record) + " at IRQL " +
                               std::to_string(currentIrql()) + " (APC_LEVEL at most)"});
}

void MdlTable::unlock(PMDL mdl, const SimCallSite& site) {
    Reports reports;
    {
        std::lock_guard lock(mutex_);
        Record* record = live(mdl);
        if (record == nullptr) {
            reports.push_back({Rule::MdlMisuse, notLive(mdl, "MmUnlockPages")});
        } else if (!record->locked) {
            reports.push_back({Rule::MdlMisuse,
                               "MmUnlockPages of " + describe(*record) + ", which is not locked"});
        } else {
            record->locked = false;
            mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
            if (!record->nonpaged) {
                record->view.reset();
                mdl->MappedSystemVa = nullptr;
            }
        }
    }
    send(reports, site);
}

PVOID MdlTable::systemAddress(PMDL mdl, const SimCallSite& site) {
    Reports reports;
    PVOID address = nullptr;
    {
        std::lock_guard lock(mutex_);
        Record* record = live(mdl);
        if (record == nullptr) {
            reports.push_back({Rule::MdlMisuse, notLive(mdl, "MmGetSystemAddressForMdlSafe")});
        } else if (record->nonpaged) {
            address = reinterpret_cast<PVOID>(firstByte(*mdl));
        } else if (record->source != nullptr) {
            address = mapPartial(*record, reports);
        } else if (!record->locked) {
            reports.push_back({Rule::MdlMisuse, "MmGetSystemAddressForMdlSafe of " +
                                                    describe(*record) + ", which is not locked"});
        } else if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) != 0 ||
                   !current().faults().shouldFail(AllocKind::SystemMapping, site)) {
            address = record->view->host;
            mdl->MappedSystemVa = address;
            mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
        }
    }
    send(reports, site);
    return address;
}

const std::byte* MdlTable::peek(const MDL* mdl) const {
    std::lock_guard lock(mutex_);
    const Record* record = live(mdl);
    if (record == nullptr)
        return nullptr;
    if (record->nonpaged)
        return reinterpret_cast<const std::byte*>(firstByte(*mdl));
    if (record->source != nullptr) {
        const Record* source = live(record->source);
        if (source == nullptr || !source->locked || !source->view)
            return nullptr;
        return source->view->host + (firstByte(*mdl) - firstByte(*record->source));
    }
    return record->locked && record->view ? record->view->host : nullptr;
}

// A partial MDL maps the matching part of its source's locked pages, which must still be locked.
PVOID MdlTable::mapPartial(Record& record, Reports& reports) {
    const Record* source = live(record.source);
    if (source == nullptr || !source->locked) {
        reports.push_back(
            {Rule::MdlMisuse, "MmGetSystemAddressForMdlSafe of partial " + describe(record) +
                                  (source == nullptr ? ", whose source MDL has been freed"
                                                     : ", whose source " + describe(*source) +
                                                           " is no longer locked")});
        return nullptr;
    }
    MDL& mdl = *record.mdl;
    const std::uintptr_t offset = firstByte(mdl) - firstByte(*record.source);
    record.view = UserAddressSpace::LockedRange{source->view->pages, source->view->host + offset};
    mdl.MappedSystemVa = record.view->host;
    mdl.MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return record.view->host;
}

void MdlTable::unlockAndFreeChain(PMDL first, const SimCallSite& site) {
    Reports reports;
    {
        std::lock_guard lock(mutex_);
        for (PMDL mdl = first; mdl != nullptr;) {
            PMDL next = nullptr;
            if (Record* record = live(mdl)) {
                next = mdl->Next;
                if (record->locked) {
                    record->locked = false;
                    record->view.reset();
                }
            }
            release(mdl, site, reports);
            mdl = next;
        }
    }
    send(reports, site);
}

const std::byte* MdlTable::lockedBytes(const MDL* mdl) const {
    std::lock_guard lock(mutex_);
    const Record* record = live(mdl);
    if (record == nullptr || !record->locked || !record->view)
        return nullptr;
    return record->view->host;
}

bool MdlTable::isLive(const MDL* mdl) const {
    std::lock_guard lock(mutex_);
    return live(mdl) != nullptr;
}

bool MdlTable::isLocked(const MDL* mdl) const {
    std::lock_guard lock(mutex_);
    const Record* record = live(mdl);
    return record != nullptr && record->locked;
}

std::size_t MdlTable::liveCount() const {
    std::lock_guard lock(mutex_);
    return live_.size();
}

std::size_t MdlTable::reportLeaks(std::string_view when) const {
    std::vector<std::pair<std::uint64_t, std::string>> leaks;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [mdl, record] : live_)
            leaks.emplace_back(record.serial, describe(record) + " leaked " + std::string(when));
    }
    std::sort(leaks.begin(), leaks.end());
    auto& verifier = current().verifier();
    for (auto& [serial, message] : leaks)
        verifier.report(Rule::MdlLeak, std::move(message));
    return leaks.size();
}

MdlTable::Record* MdlTable::live(const MDL* mdl) {
    auto it = live_.find(mdl);
    return it == live_.end() ? nullptr : &it->second;
}

const MdlTable::Record* MdlTable::live(const MDL* mdl) const {
    auto it = live_.find(mdl);
    return it == live_.end() ? nullptr : &it->second;
}

std::string MdlTable::describe(const Record& record) const {
    const MDL& mdl = *record.mdl;
    std::string text = "MDL " + hex(reinterpret_cast<std::uintptr_t>(&mdl)) + " #" +
                       std::to_string(record.serial) + " (" + hex(firstByte(mdl)) + " +" +
                       std::to_string(mdl.ByteCount) + " bytes";
    if (record.locked)
        text += ", locked";
    if (record.nonpaged)
        text += ", non-paged pool";
    if (record.source != nullptr)
        text += ", partial of MDL " + hex(reinterpret_cast<std::uintptr_t>(record.source));
    return text + ") allocated at " + record.allocatedAt.text();
}

std::string MdlTable::notLive(const MDL* mdl, std::string_view routine) const {
    const std::string name = std::string(routine) + " of ";
    if (mdl == nullptr)
        return name + "a NULL MDL";
    auto it = quarantine_.find(mdl);
    if (it != quarantine_.end())
        return name + "MDL " + hex(reinterpret_cast<std::uintptr_t>(mdl)) + " #" +
               std::to_string(it->second.serial) + " allocated at " +
               it->second.allocatedAt.text() + ", already freed at " + it->second.freedAt.text();
    return name + hex(reinterpret_cast<std::uintptr_t>(mdl)) +
           ", which is not an MDL from IoAllocateMdl";
}

void MdlTable::send(Reports& reports, const SimCallSite& site) {
    if (reports.empty())
        return;
    auto& verifier = current().verifier();
    for (auto& r : reports)
        verifier.report(r.rule, r.message, site);
}

} // namespace sim
