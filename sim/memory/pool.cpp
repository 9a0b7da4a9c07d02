#include "sim/memory/pool.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sim/core/system.h"
#include "sim/util/poison.h"

namespace sim {

namespace {

std::string hexAddress(const void* address) {
    char text[24];
    std::snprintf(text, sizeof text, "%p", address);
    return text;
}

// Every byte equals the first, and the first is the value: one memcmp of the range against itself
// shifted by a byte, as the check runs on every free and on each block leaving the quarantine.
bool allBytesAre(const std::byte* bytes, std::size_t count, std::uint8_t value) {
    return count == 0 ||
           (bytes[0] == std::byte{value} && std::memcmp(bytes, bytes + 1, count - 1) == 0);
}

} // namespace

std::string poolTagText(std::uint32_t tag) {
    std::string text = "'";
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<unsigned char>(tag >> (8 * i));
        text += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
    }
    return text + "'";
}

static_assert(Pool::kFreedFill == kFreedPoison);

Pool::Pool(bool verifying) : verifying_(verifying) {}

Pool::~Pool() {
    for (auto& [key, block] : quarantine_)
        unpoison(block.data(), block.size);
    for (auto& [size, nodes] : spare_)
        for (auto& node : nodes)
            unpoison(node.mapped().storage.get(), size + 2 * kGuardBytes);
}

void* Pool::allocate(std::size_t size, std::uint32_t tag, const SimCallSite& site) {
    const RecordedSite allocatedAt = verifying_ ? RecordedSite(site) : RecordedSite();
    std::lock_guard lock(mutex_);
    Block* block = nullptr;
    if (auto node = takeSpare(size)) {
        block = &live_.insert(std::move(node)).position->second;
    } else {
        Block fresh;
        fresh.size = size;
        fresh.storage = std::make_unique_for_overwrite<std::byte[]>(size + 2 * kGuardBytes);
        const auto key = reinterpret_cast<std::uintptr_t>(fresh.data());
        block = &live_.emplace(key, std::move(fresh)).first->second;
    }
    block->tag = tag;
    block->serial = ++serial_;
    if (verifying_) {
        block->allocatedAt = allocatedAt;
        std::memset(block->storage.get(), kGuardFill, kGuardBytes);
        std::memset(block->data(), kFreshFill, size);
        std::memset(block->data() + size, kGuardFill, kGuardBytes);
    }
    return block->data();
}

bool Pool::free(const void* address, const SimCallSite& site,
                std::optional<std::uint32_t> expectedTag) {
    std::vector<PendingReport> reports;
    bool freed = false;
    {
        std::lock_guard lock(mutex_);
        const auto key = reinterpret_cast<std::uintptr_t>(address);
        if (auto node = live_.extract(key)) {
            freed = true;
            if (!verifying_) {
                keepSpare(std::move(node));
                return true;
            }
            const Block& block = node.mapped();
            if (expectedTag && *expectedTag != block.tag)
                reports.push_back({Rule::PoolWrongTag, describeBlock(block) + " freed with tag " +
                                                           poolTagText(*expectedTag)});
            if (!guardsIntact(block))
                reports.push_back({Rule::PoolCorruption,
                                   describeBlock(block) +
                                       " has its guard zone overwritten (written out of bounds)"});
            node.mapped().freedAt = RecordedSite(site);
            quarantine(std::move(node), reports);
        } else if (!verifying_) {
            return false;
        } else if (auto q = quarantine_.find(key); q != quarantine_.end()) {
            reports.push_back({Rule::PoolDoubleFree, describeBlock(q->second) +
                                                         " freed twice: first at " +
                                                         q->second.freedAt.text() + ", again"});
        } else if (const Block* outer = liveContaining(key, 0)) {
            const auto offset = key - reinterpret_cast<std::uintptr_t>(outer->data());
            reports.push_back({Rule::PoolForeignFree, "free of " + hexAddress(address) +
                                                          ", which points " +
                                                          std::to_string(offset) + " bytes into " +
                                                          describeBlock(*outer)});
        } else {
            reports.push_back({Rule::PoolForeignFree,
                               "free of " + hexAddress(address) + ", which is not a pool block"});
        }
    }
    if (!reports.empty()) {
        auto& verifier = current().verifier();
        for (auto& r : reports)
            verifier.report(r.rule, r.message, site);
    }
    return freed;
}

void Pool::quarantine(BlockMap::node_type node, std::vector<PendingReport>& reports) {
    Block& block = node.mapped();
    // Damage found at the free was reported then; only what happens from now on counts.
    std::memset(block.storage.get(), kGuardFill, kGuardBytes);
    std::memset(block.data() + block.size, kGuardFill, kGuardBytes);
    poisonFreed(block.data(), block.size);
    quarantineBytes_ += block.size;
    quarantineOrder_.push_back(node.key());
    quarantine_.insert(std::move(node));

    while (quarantineOrder_.size() > kQuarantineBlocks ||
           (quarantineBytes_ > kQuarantineBytes && quarantineOrder_.size() > 1)) {
        auto oldest = quarantine_.extract(quarantineOrder_.front());
        quarantineOrder_.pop_front();
        quarantineBytes_ -= oldest.mapped().size;
        unpoison(oldest.mapped().data(), oldest.mapped().size);
        if (!freedFillIntact(oldest.mapped()))
            reports.push_back({Rule::PoolCorruption, describeBlock(oldest.mapped()) +
                                                         " was written after it was freed at " +
                                                         oldest.mapped().freedAt.text()});
        keepSpare(std::move(oldest));
    }
}

// A block of `size` bytes kept for reuse, or an empty node. mutex_ held.
Pool::BlockMap::node_type Pool::takeSpare(std::size_t size) {
    auto it = spare_.find(size);
    if (it == spare_.end() || it->second.empty())
        return {};
    BlockMap::node_type node = std::move(it->second.back());
    it->second.pop_back();
    spareBytes_ -= size;
    unpoison(node.mapped().storage.get(), size + 2 * kGuardBytes);
    return node;
}

// Keeps a block that is no longer in use for the next allocation of its size, or gives its memory
// back when the spares hold enough already. mutex_ held.
void Pool::keepSpare(BlockMap::node_type node) {
    const std::size_t size = node.mapped().size;
    if (spareBytes_ + size > kSpareBytes)
        return; // the node and its storage go
    poisonUnused(node.mapped().storage.get(), size + 2 * kGuardBytes);
    spareBytes_ += size;
    spare_[size].push_back(std::move(node));
}

std::optional<PoolBlockInfo> Pool::blockContaining(const void* address, std::size_t length) const {
    std::lock_guard lock(mutex_);
    const Block* block = liveContaining(reinterpret_cast<std::uintptr_t>(address), length);
    if (block == nullptr)
        return std::nullopt;
    return info(*block);
}

bool Pool::contains(const void* address, std::size_t length) const {
    std::lock_guard lock(mutex_);
    return liveContaining(reinterpret_cast<std::uintptr_t>(address), length) != nullptr;
}

std::optional<std::size_t> Pool::bytesToBlockEnd(const void* address) const {
    const auto key = reinterpret_cast<std::uintptr_t>(address);
    std::lock_guard lock(mutex_);
    const Block* block = liveContaining(key, 0);
    if (block == nullptr)
        return std::nullopt;
    return block->size - (key - reinterpret_cast<std::uintptr_t>(block->data()));
}

std::optional<std::size_t> Pool::findPoison(const void* address, std::size_t length) const {
    std::lock_guard lock(mutex_);
    if (length == 0 || liveContaining(reinterpret_cast<std::uintptr_t>(address), length) == nullptr)
        return std::nullopt;
    const auto* bytes = static_cast<const std::byte*>(address);
    const std::size_t run = std::min(length, kPoisonRunBytes);
    std::size_t runStart = 0;
    std::size_t runLength = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (bytes[i] != std::byte{kFreshFill}) {
            runLength = 0;
            continue;
        }
        if (runLength++ == 0)
            runStart = i;
        if (runLength == run)
            return runStart;
    }
    return std::nullopt;
}

std::optional<std::size_t> Pool::findFillRun(const void* bytes, std::size_t length,
                                             std::size_t runBytes) {
    const auto* data = static_cast<const std::byte*>(bytes);
    const std::size_t run = std::min(length, runBytes);
    if (run == 0)
        return std::nullopt;
    const auto isFill = [](std::byte b) {
        return b == std::byte{kFreshFill} || b == std::byte{kFreedFill};
    };
    // Any run of `run` bytes covers exactly one offset that is run - 1 modulo run: only those are
    // looked at first, and a run of one fill is measured from there.
    for (std::size_t i = run - 1; i < length; i += run) {
        if (!isFill(data[i]))
            continue;
        std::size_t start = i;
        while (start > 0 && data[start - 1] == data[i])
            --start;
        std::size_t end = i + 1;
        while (end < length && end - start < run && data[end] == data[i])
            ++end;
        if (end - start >= run)
            return start;
    }
    return std::nullopt;
}

std::vector<PoolBlockInfo> Pool::liveBlocks() const {
    std::lock_guard lock(mutex_);
    std::vector<PoolBlockInfo> blocks;
    blocks.reserve(live_.size());
    for (const auto& [key, block] : live_)
        blocks.push_back(info(block));
    std::sort(blocks.begin(), blocks.end(),
              [](const PoolBlockInfo& a, const PoolBlockInfo& b) { return a.serial < b.serial; });
    return blocks;
}

std::size_t Pool::liveCount() const {
    std::lock_guard lock(mutex_);
    return live_.size();
}

std::size_t Pool::liveCount(std::uint32_t tag) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        live_.begin(), live_.end(), [tag](const auto& entry) { return entry.second.tag == tag; }));
}

std::size_t Pool::reportLeaks(std::string_view when, std::optional<std::uint32_t> tag) const {
    std::vector<std::pair<std::uint64_t, std::string>> leaks; // by serial, oldest first
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, block] : live_)
            if (!tag || *tag == block.tag)
                leaks.emplace_back(block.serial,
                                   describeBlock(block) + " leaked " + std::string(when));
    }
    std::sort(leaks.begin(), leaks.end());
    auto& verifier = current().verifier();
    for (auto& [serial, message] : leaks)
        verifier.report(Rule::PoolLeak, std::move(message));
    return leaks.size();
}

std::size_t Pool::checkIntegrity() const {
    if (!verifying_)
        return 0; // no guards or fills to look at
    std::vector<std::string> damaged;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, block] : live_)
            if (!guardsIntact(block))
                damaged.push_back(describeBlock(block) +
                                  " has its guard zone overwritten (written out of bounds)");
        for (const auto& [key, block] : quarantine_)
            if (!freedFillIntact(block))
                damaged.push_back(describeBlock(block) + " was written after it was freed at " +
                                  block.freedAt.text());
    }
    auto& verifier = current().verifier();
    for (auto& message : damaged)
        verifier.report(Rule::PoolCorruption, std::move(message));
    return damaged.size();
}

std::string Pool::describeBlock(const Block& block) {
    return "pool block " + hexAddress(block.data()) + " #" + std::to_string(block.serial) +
           " (tag " + poolTagText(block.tag) + ", " + std::to_string(block.size) +
           " bytes) allocated at " + block.allocatedAt.text();
}

PoolBlockInfo Pool::info(const Block& block) {
    return PoolBlockInfo{block.data(), block.size, block.tag, block.serial,
                         block.allocatedAt.text()};
}

bool Pool::guardsIntact(const Block& block) {
    return allBytesAre(block.storage.get(), kGuardBytes, kGuardFill) &&
           allBytesAre(block.data() + block.size, kGuardBytes, kGuardFill);
}

// Reads a quarantined block's data, which AddressSanitizer (when present) watches: the check itself
// must not count as a use after free.
bool Pool::freedFillIntact(const Block& block) {
    unpoison(block.data(), block.size);
    const bool intact = allBytesAre(block.data(), block.size, kFreedFill);
    poisonFreed(block.data(), block.size);
    return intact && guardsIntact(block);
}

// The block whose data holds [address, address + length); a zero length asks for a block whose
// data holds address itself.
const Pool::Block* Pool::liveContaining(std::uintptr_t address, std::size_t length) const {
    auto it = live_.upper_bound(address);
    if (it == live_.begin())
        return nullptr;
    const Block& block = std::prev(it)->second;
    const auto start = std::prev(it)->first;
    const auto span = std::max<std::size_t>(length, 1);
    if (address - start > block.size || block.size - (address - start) < span)
        return nullptr;
    return &block;
}

} // namespace sim
