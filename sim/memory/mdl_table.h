// Every MDL the platform handed out, with its lock state.
//
// An MDL describes either a range of the simulated user address space (which must be probed and
// locked before the system can address it) or a range inside a live non-paged pool block (which
// the system addresses directly), or, when partial, a sub-range of another MDL's buffer. The table
// keeps the truth about each MDL beside the platform record the driver sees, so misuse is judged
// by what really happened, not by flags the driver could have changed. Freed MDLs stay in a
// bounded quarantine so that a second free is recognised; one that leaves it is kept, with its
// record, for the next IoAllocateMdl. Misuse is a verifier finding, never a crash. With the
// verifier off there is no quarantine, no poison and no call sites. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/host_platform.h"
#include "sim/memory/recorded_site.h"
#include "sim/memory/user_space.h"

namespace sim {

class MdlTable {
public:
    static constexpr std::size_t kQuarantineMdls = 1024;
    static constexpr std::size_t kSpareMdls = 256;

    explicit MdlTable(bool verifying = true);
    ~MdlTable();
    MdlTable(const MdlTable&) = delete;
    MdlTable& operator=(const MdlTable&) = delete;

    // The bodies of the platform's MDL routines (mm.h); fault injection and the IRP's MDL chain
    // are the routines' part. Each reports misuse with the caller's site.
    PMDL allocate(PVOID virtualAddress, ULONG length, const SimCallSite& site);
    void free(PMDL mdl, const SimCallSite& site);
    void buildPartial(PMDL source, PMDL target, PVOID virtualAddress, ULONG length,
                      const SimCallSite& site);
    // STATUS_SUCCESS with the pages locked; STATUS_ACCESS_VIOLATION where the platform raises
    // (range unmapped, or read-only for IoWriteAccess/IoModifyAccess); STATUS_INVALID_PARAMETER
    // after reporting misuse (not a live MDL, partial, locked already).
    NTSTATUS probeAndLock(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation,
                          const SimCallSite& site);
    void unlock(PMDL mdl, const SimCallSite& site);
    // Host address of the MDL's first byte; NULL (reported, unless it is an injected mapping
    // failure) when the MDL is not addressable.
    PVOID systemAddress(PMDL mdl, const SimCallSite& site);

    // For observers (a capture): the host address of the MDL's first byte when the system can
    // address it now (a pool MDL, or locked pages), else null. Reports nothing, maps nothing.
    const std::byte* peek(const MDL* mdl) const;

    // The I/O manager's release of an IRP's MDL chain: unlocks what is locked, frees each MDL.
    void unlockAndFreeChain(PMDL first, const SimCallSite& site);

    // The I/O manager's own look at a locked MDL's bytes (no mapping is made, nothing counted):
    // the host address of its first byte, or null when it is not locked.
    const std::byte* lockedBytes(const MDL* mdl) const;

    bool isLive(const MDL* mdl) const;
    bool isLocked(const MDL* mdl) const;
    std::size_t liveCount() const;
    // Reports each live MDL as Rule::MdlLeak ("leaked <when>"); returns how many.
    std::size_t reportLeaks(std::string_view when = "at end of run") const;

private:
    struct Record {
        std::unique_ptr<MDL> mdl;
        std::uint64_t serial = 0;
        std::size_t capacityPages = 0; // pages it was allocated to describe
        bool locked = false;
        bool nonpaged = false; // describes a live pool block (or a partial of one)
        PMDL source = nullptr; // partial: the MDL whose buffer it describes
        std::optional<UserAddressSpace::LockedRange> view; // locked or mapped user pages
        RecordedSite allocatedAt;
        RecordedSite lockedAt;
        RecordedSite freedAt;
    };
    using RecordMap = std::map<const MDL*, Record>;
    struct PendingReport {
        Rule rule;
        std::string message;
    };
    using Reports = std::vector<PendingReport>;

    Record* live(const MDL* mdl);
    const Record* live(const MDL* mdl) const;
    std::string describe(const Record& record) const;
    std::string notLive(const MDL* mdl, std::string_view routine) const;
    PVOID mapPartial(Record& record, Reports& reports);
    void checkUserProbe(const Record& record, KPROCESSOR_MODE accessMode, Reports& reports) const;
    void release(PMDL mdl, const SimCallSite& site, Reports& reports);
    static void send(Reports& reports, const SimCallSite& site);
    void keepSpare(RecordMap::node_type node); // mutex_ held

    const bool verifying_;
    mutable std::mutex mutex_; // guards everything below
    std::uint64_t serial_ = 0;
    RecordMap live_;
    RecordMap quarantine_;
    std::deque<const MDL*> quarantineOrder_;  // oldest first
    std::vector<RecordMap::node_type> spare_; // records (and MDLs) for reuse
};

} // namespace sim
