// The simulated 32-bit user address space in which applications' buffers live.
//
// Addresses are 32-bit values below 2 GiB carried in a PVOID; they are not host pointers, so a
// driver that touches a user buffer without probing and locking it faults in the host process
// rather than reading something plausible. The first 64 KiB are never mapped (so NULL and small
// offsets from it are bad addresses), and a free page separates any two regions, so running off
// the end of a buffer is a bad address too.
//
// A region mapped host-visible is the exception an application needs: its bytes live at the host
// address equal to its user address, so the application uses the pointer itself, as on the
// platform (where a buffer's address is what the driver is handed). Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace sim {

class UserAddressSpace {
public:
    static constexpr std::uint32_t kPageBytes = 4096;
    static constexpr std::uint32_t kLowestAddress = 0x00010000;
    static constexpr std::uint64_t kLimit = 0x80000000; // first address above user space

    enum class Access { Read, Write };

    // Host view of a locked range. Locked pages stay resident: the view remains valid while it is
    // held, even if the application unmaps the region meanwhile.
    struct LockedRange {
        std::shared_ptr<std::byte> pages; // the whole region's storage
        std::byte* host = nullptr;        // the range's first byte
    };

    // Maps a zero-filled region of at least `bytes` (whole pages); nullptr when bytes is 0 or the
    // space has no room.
    void* map(std::size_t bytes, bool writable = true);
    // The same, host-visible: the returned address is also a host pointer to the region's bytes.
    void* mapHostVisible(std::size_t bytes, bool writable = true);
    // Unmaps the region that starts at base; false when none does.
    bool unmap(void* base);
    // What may be done with a region's bytes. A region without access is as good as unmapped to
    // probes, locks and the application (its host view too), but keeps its address and pages.
    enum class Protection { NoAccess, ReadOnly, ReadWrite };
    // Changes the protection of the region that starts at base; false when none does.
    bool protect(void* base, Protection protection);
    bool setWritable(void* base, bool writable) {
        return protect(base, writable ? Protection::ReadWrite : Protection::ReadOnly);
    }
    // The protection of the region that starts at base, if one does.
    std::optional<Protection> protection(const void* base) const;

    // The application's own accesses: false (nothing copied) unless the whole range is mapped,
    // and for write, writable.
    bool write(void* address, const void* data, std::size_t length);
    bool read(const void* address, void* out, std::size_t length) const;

    // Whether [address, address + length) may be accessed; a zero length asks about one byte.
    bool probe(const void* address, std::size_t length, Access access) const;
    // Probes and locks the range; nothing when the probe fails.
    std::optional<LockedRange> lock(const void* address, std::size_t length, Access access) const;

    // Whether the byte at address lies in a region (mapped, whatever its access).
    bool contains(const void* address) const;
    // Whether [address, address + length) lies in one host-visible region (accessible or not).
    bool isHostVisible(const void* address, std::size_t length) const;

    std::size_t regionCount() const;
    // Below the user space's limit (it may still be unmapped).
    static bool isUserAddress(const void* address);

private:
    struct Region {
        std::uint64_t size = 0;
        bool writable = true;
        bool hostVisible = false;
        // Host-visible: the pages at the region's own addresses. Otherwise zero pages from calloc
        // (untouched ones cost nothing), the addresses held by an inaccessible reservation.
        std::shared_ptr<std::byte> pages;
        std::shared_ptr<std::byte> reservation;
        bool accessible = true; // PAGE_NOACCESS clears it
    };
    using RegionMap = std::map<std::uint64_t, Region>; // by base address

    // The region holding the range (one byte for a zero length), with the range's offset in it;
    // one without access only when asked for.
    const Region* find(const void* address, std::size_t length, std::size_t& offset,
                       bool evenWithoutAccess = false) const;
    std::optional<std::uint64_t> findGap(std::uint64_t from, std::uint64_t bytes) const;
    void* mapRegion(std::size_t bytes, bool writable, bool hostVisible);
    // Host memory at exactly [base, base + size) with the protection given, or null when the host
    // uses some of it.
    static std::shared_ptr<std::byte> mapHostPages(std::uint64_t base, std::uint64_t size,
                                                   int protection);

    mutable std::mutex mutex_; // guards regions_ and nextBase_; not the bytes of the regions
    RegionMap regions_;
    std::uint64_t nextBase_ = kLowestAddress; // where the search for room starts (next fit)
};

} // namespace sim
