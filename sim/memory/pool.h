// Non-paged pool of the simulated kernel.
//
// Every block is its own host allocation with a guard zone on each side. A fresh block is filled
// with kFreshFill so that memory nobody wrote shows; a freed block is filled with kFreedFill and
// kept in a bounded quarantine, so that a second free of it is recognised and named (not taken for
// a foreign pointer) and a write after the free shows when the block leaves quarantine.
// Misuse becomes a verifier finding, never a crash: a bad free is reported and ignored.
// A block that leaves the quarantine is kept, with its record, for the next allocation of its
// size (up to kSpareBytes in all): a driver allocates the same few sizes again and again.
// With the verifier off there are no fills, guards, sites or quarantine, and a freed block is
// at once a spare. Thread-safe: completions allocate and free on other threads.
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
#include <unordered_map>
#include <vector>

#include "call_site.h"
#include "sim/memory/recorded_site.h"

namespace sim {

// A pool tag as tools print it: its bytes in memory order, so "Wdm " is the value 0x206D6457.
constexpr std::uint32_t poolTag(const char (&text)[5]) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(text[0])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(text[3])) << 24;
}
std::string poolTagText(std::uint32_t tag); // "'Wdm '"; unprintable bytes as '.'

struct PoolBlockInfo {
    const void* address;
    std::size_t size;
    std::uint32_t tag;
    std::uint64_t serial;    // allocation number, from 1
    std::string allocatedAt; // "file:line (function)"
};

class Pool {
public:
    // Blocks the platform allocates on the driver's behalf (interface names, URBs it builds).
    static constexpr std::uint32_t kPlatformTag = poolTag("Sim ");
    static constexpr std::uint8_t kFreshFill = 0xCD;
    static constexpr std::uint8_t kFreedFill = 0xDD;
    static constexpr std::uint8_t kGuardFill = 0xFD;
    static constexpr std::size_t kGuardBytes = 16; // each side; also the blocks' alignment
    static constexpr std::size_t kQuarantineBlocks = 1024;
    static constexpr std::size_t kQuarantineBytes = std::size_t{16} << 20;
    static constexpr std::size_t kSpareBytes = std::size_t{4} << 20;
    // A run this long of fresh fill reads as never written (a single 0xCD may be data).
    static constexpr std::size_t kPoisonRunBytes = 4;

    explicit Pool(bool verifying = true);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // A fresh block of size bytes filled with kFreshFill. Never fails: whether an allocation
    // fails is the caller's question to the fault injector.
    void* allocate(std::size_t size, std::uint32_t tag, const SimCallSite& site);
    // Frees the block starting at address. Anything else (a block freed already, a pointer inside
    // a block, a pointer the pool never gave out) is reported and left alone. A tag that differs
    // from expectedTag is reported and the block freed all the same. True when a block was freed.
    bool free(const void* address, const SimCallSite& site,
              std::optional<std::uint32_t> expectedTag = std::nullopt);

    // The live block that [address, address + length) lies in, if any.
    std::optional<PoolBlockInfo> blockContaining(const void* address, std::size_t length = 1) const;
    // Whether [address, address + length) lies in a live block (blockContaining without words).
    bool contains(const void* address, std::size_t length = 1) const;
    // The bytes from address to the end of the live block it lies in, if any: what a bounds
    // check needs, without the block's description (blockContaining words its allocation site).
    std::optional<std::size_t> bytesToBlockEnd(const void* address) const;
    // For a range inside a live block: the offset of the first byte of a run of kPoisonRunBytes
    // (or of the whole range, if shorter) that still holds kFreshFill. Nothing when the range is
    // all written, or not inside a live block.
    std::optional<std::size_t> findPoison(const void* address, std::size_t length) const;
    // In any bytes: the offset of the first run of `runBytes` (or of the whole range, if shorter)
    // that holds fresh fill or freed fill, the marks of pool memory nobody wrote.
    static std::optional<std::size_t> findFillRun(const void* bytes, std::size_t length,
                                                  std::size_t runBytes);

    std::vector<PoolBlockInfo> liveBlocks() const; // in allocation order
    std::size_t liveCount() const;
    std::size_t liveCount(std::uint32_t tag) const;

    // Reports each live block (of one tag, if given) as Rule::PoolLeak, naming its tag, size and
    // allocation site; `when` completes "leaked ...", e.g. "at unload". Returns how many.
    std::size_t reportLeaks(std::string_view when = "at end of run",
                            std::optional<std::uint32_t> tag = std::nullopt) const;
    // Checks the guard zones of live blocks and the fill of quarantined ones; reports each damaged
    // block as Rule::PoolCorruption. Returns how many.
    std::size_t checkIntegrity() const;

private:
    struct Block {
        std::uint64_t serial = 0;
        std::size_t size = 0;
        std::uint32_t tag = 0;
        RecordedSite allocatedAt;
        RecordedSite freedAt;
        std::unique_ptr<std::byte[]> storage; // guard, size bytes, guard

        std::byte* data() const { return storage.get() + kGuardBytes; }
    };
    using BlockMap = std::map<std::uintptr_t, Block>; // by the address handed out
    // Findings are reported after the pool's lock is dropped.
    struct PendingReport {
        Rule rule;
        std::string message;
    };

    static std::string describeBlock(const Block& block);
    static PoolBlockInfo info(const Block& block);
    static bool guardsIntact(const Block& block);
    static bool freedFillIntact(const Block& block);
    const Block* liveContaining(std::uintptr_t address, std::size_t length) const;
    void quarantine(BlockMap::node_type node, std::vector<PendingReport>& reports);
    BlockMap::node_type takeSpare(std::size_t size);
    void keepSpare(BlockMap::node_type node);

    const bool verifying_;
    mutable std::mutex mutex_; // guards everything below
    std::uint64_t serial_ = 0;
    BlockMap live_;
    BlockMap quarantine_;
    std::deque<std::uintptr_t> quarantineOrder_; // oldest first
    std::size_t quarantineBytes_ = 0;
    std::unordered_map<std::size_t, std::vector<BlockMap::node_type>> spare_; // by size
    std::size_t spareBytes_ = 0;
};

} // namespace sim
