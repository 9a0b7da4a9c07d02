#include "sim/memory/user_space.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

namespace sim {

namespace {

std::uint64_t roundUpToPages(std::uint64_t bytes) {
    constexpr std::uint64_t page = UserAddressSpace::kPageBytes;
    return (bytes + page - 1) / page * page;
}

void* toPointer(std::uint64_t address) {
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(address));
}

} // namespace

void* UserAddressSpace::map(std::size_t bytes, bool writable) {
    return mapRegion(bytes, writable, false);
}

void* UserAddressSpace::mapHostVisible(std::size_t bytes, bool writable) {
    return mapRegion(bytes, writable, true);
}

// Every region holds its addresses in the host as well: a host-visible one as its own pages, the
// others as inaccessible pages, so that no user address is ever the host's own memory (in a 32-bit
// build the host's heap lies below 2 GiB too) and a driver touching one without a lock faults.
void* UserAddressSpace::mapRegion(std::size_t bytes, bool writable, bool hostVisible) {
    if (bytes == 0 || bytes > kLimit)
        return nullptr;
    const std::uint64_t size = roundUpToPages(bytes);
    std::lock_guard lock(mutex_);
    // The host may use parts of the low 2 GiB (its own mappings, a sanitizer's shadow): a gap it
    // occupies is passed over, as are the free pages around our own regions. Next fit, so that an
    // unmapped address is not handed out again at once: a stale pointer into a buffer the
    // application released stays a bad address for a while.
    constexpr int kAttempts = 256;
    std::uint64_t from = nextBase_;
    bool wrapped = false;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        auto base = findGap(from, size);
        if (!base && !wrapped) {
            wrapped = true;
            base = findGap(kLowestAddress, size);
        }
        if (!base)
            return nullptr;
        const int protection =
            !hostVisible ? PROT_NONE : (writable ? PROT_READ | PROT_WRITE : PROT_READ);
        if (auto reserved = mapHostPages(*base, size, protection)) {
            Region region{size, writable, hostVisible, std::move(reserved), nullptr};
            if (!hostVisible) {
                region.reservation = std::move(region.pages);
                region.pages.reset(static_cast<std::byte*>(std::calloc(size, 1)), std::free);
                if (!region.pages)
                    return nullptr;
            }
            regions_.emplace(*base, std::move(region));
            nextBase_ = *base + size + kPageBytes;
            return toPointer(*base);
        }
        from = *base + size + kPageBytes;
    }
    return nullptr;
}

std::shared_ptr<std::byte> UserAddressSpace::mapHostPages(std::uint64_t base, std::uint64_t size,
                                                          int protection) {
    void* wanted = toPointer(base);
    void* got = mmap(wanted, size, protection,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE | MAP_NORESERVE, -1, 0);
    if (got == MAP_FAILED)
        return nullptr;
    if (got != wanted) { // a kernel that does not know MAP_FIXED_NOREPLACE took it as a hint
        munmap(got, size);
        return nullptr;
    }
    // Unmapped once the region and every locked view of it are gone.
    return std::shared_ptr<std::byte>(static_cast<std::byte*>(got),
                                      [size](std::byte* pages) { munmap(pages, size); });
}

// The lowest address at or above `from` with `bytes` of room and a free page on either side.
std::optional<std::uint64_t> UserAddressSpace::findGap(std::uint64_t from,
                                                       std::uint64_t bytes) const {
    std::uint64_t candidate = from;
    auto next = regions_.upper_bound(candidate);
    if (next != regions_.begin()) {
        const auto& [base, region] = *std::prev(next);
        candidate = std::max(candidate, base + region.size + kPageBytes);
    }
    for (; next != regions_.end(); ++next) {
        if (candidate + bytes + kPageBytes <= next->first)
            return candidate;
        candidate = std::max(candidate, next->first + next->second.size + kPageBytes);
    }
    if (candidate + bytes <= kLimit)
        return candidate;
    return std::nullopt;
}

bool UserAddressSpace::unmap(void* base) {
    std::lock_guard lock(mutex_);
    return regions_.erase(reinterpret_cast<std::uintptr_t>(base)) == 1;
}

bool UserAddressSpace::protect(void* base, Protection protection) {
    std::lock_guard lock(mutex_);
    auto it = regions_.find(reinterpret_cast<std::uintptr_t>(base));
    if (it == regions_.end())
        return false;
    Region& region = it->second;
    region.accessible = protection != Protection::NoAccess;
    region.writable = protection == Protection::ReadWrite;
    if (region.hostVisible)
        mprotect(region.pages.get(), region.size,
                 !region.accessible ? PROT_NONE
                                    : (region.writable ? PROT_READ | PROT_WRITE : PROT_READ));
    return true;
}

std::optional<UserAddressSpace::Protection> UserAddressSpace::protection(const void* base) const {
    std::lock_guard lock(mutex_);
    auto it = regions_.find(reinterpret_cast<std::uintptr_t>(base));
    if (it == regions_.end())
        return std::nullopt;
    if (!it->second.accessible)
        return Protection::NoAccess;
    return it->second.writable ? Protection::ReadWrite : Protection::ReadOnly;
}

const UserAddressSpace::Region* UserAddressSpace::find(const void* address, std::size_t length,
                                                       std::size_t& offset,
                                                       bool evenWithoutAccess) const {
    const auto start = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(address));
    const std::uint64_t span = length == 0 ? 1 : length;
    if (start >= kLimit || span > kLimit)
        return nullptr;
    auto next = regions_.upper_bound(start);
    if (next == regions_.begin())
        return nullptr;
    const auto& [base, region] = *std::prev(next);
    if (start + span > base + region.size || (!region.accessible && !evenWithoutAccess))
        return nullptr;
    offset = static_cast<std::size_t>(start - base);
    return &region;
}

bool UserAddressSpace::write(void* address, const void* data, std::size_t length) {
    std::lock_guard lock(mutex_);
    std::size_t offset = 0;
    const Region* region = find(address, length, offset);
    if (region == nullptr || !region->writable)
        return false;
    if (length != 0)
        std::memcpy(region->pages.get() + offset, data, length);
    return true;
}

bool UserAddressSpace::read(const void* address, void* out, std::size_t length) const {
    std::lock_guard lock(mutex_);
    std::size_t offset = 0;
    const Region* region = find(address, length, offset);
    if (region == nullptr)
        return false;
    if (length != 0)
        std::memcpy(out, region->pages.get() + offset, length);
    return true;
}

bool UserAddressSpace::probe(const void* address, std::size_t length, Access access) const {
    return lock(address, length, access).has_value();
}

std::optional<UserAddressSpace::LockedRange>
UserAddressSpace::lock(const void* address, std::size_t length, Access access) const {
    std::lock_guard guard(mutex_);
    std::size_t offset = 0;
    const Region* region = find(address, length, offset);
    if (region == nullptr || (access == Access::Write && !region->writable))
        return std::nullopt;
    return LockedRange{region->pages, region->pages.get() + offset};
}

bool UserAddressSpace::isHostVisible(const void* address, std::size_t length) const {
    std::lock_guard lock(mutex_);
    std::size_t offset = 0;
    const Region* region = find(address, length, offset, true);
    return region != nullptr && region->hostVisible;
}

bool UserAddressSpace::contains(const void* address) const {
    std::lock_guard lock(mutex_);
    std::size_t offset = 0;
    return find(address, 0, offset, true) != nullptr;
}

std::size_t UserAddressSpace::regionCount() const {
    std::lock_guard lock(mutex_);
    return regions_.size();
}

bool UserAddressSpace::isUserAddress(const void* address) {
    return reinterpret_cast<std::uintptr_t>(address) < kLimit;
}

} // namespace sim
