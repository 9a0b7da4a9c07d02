// The simulated pool: what it records, what fresh and freed memory look like, and each pool rule
// firing with a message that names the block and where it came from.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/host_platform.h"
#include "sim/memory/pool.h"
#include "sim/memory/unicode_strings.h"
#include "sim/sync/dispatcher.h"
#include "tests/support/sim_fixture.h"

namespace {

using sim::Pool;
using sim::Rule;

constexpr ULONG kTag = sim::poolTag("Tst1");
constexpr ULONG kOtherTag = sim::poolTag("Tst2");

std::string here(int line) {
    return "pool_test.cpp:" + std::to_string(line);
}

class PoolTest : public wdmusb::test::SimTest {
protected:
    Pool& pool() { return system_.pool(); }
};

TEST_F(PoolTest, FreshBlockIsPoisonedAndRecordsTagSizeAndSite) {
    const int line = __LINE__ + 1;
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 40, kTag));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % Pool::kGuardBytes, 0u);
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(block[i], Pool::kFreshFill) << "byte " << i;

    const auto blocks = pool().liveBlocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].address, block);
    EXPECT_EQ(blocks[0].size, 40u);
    EXPECT_EQ(blocks[0].tag, kTag);
    EXPECT_NE(blocks[0].allocatedAt.find(here(line)), std::string::npos) << blocks[0].allocatedAt;
    EXPECT_EQ(pool().liveCount(kTag), 1u);
    EXPECT_EQ(pool().liveCount(kOtherTag), 0u);

    ExFreePoolWithTag(block, kTag);
    EXPECT_EQ(pool().liveCount(), 0u);
}

TEST_F(PoolTest, TagsPrintInMemoryOrder) {
    EXPECT_EQ(sim::poolTag("Wdm "), 0x206D6457u);
    EXPECT_EQ(sim::poolTagText(0x206D6457), "'Wdm '");
    EXPECT_EQ(sim::poolTagText(0x00016457), "'Wd..'");
}

TEST_F(PoolTest, PoisonQueryFindsTheFirstUnwrittenRun) {
    auto* block = static_cast<unsigned char*>(pool().allocate(64, kTag, SimCallSite::current()));
    std::memset(block, 0, 36);
    block[10] = Pool::kFreshFill; // a lone poison-coloured byte is data, not a hole
    EXPECT_EQ(pool().findPoison(block, 64), 36u);
    EXPECT_EQ(pool().findPoison(block, 36), std::nullopt);
    EXPECT_EQ(pool().findPoison(block + 10, 1), 0u); // a range shorter than a run: all of it
    EXPECT_EQ(pool().findPoison(block + 30, 10), 6u);
    EXPECT_EQ(pool().findPoison(block + 60, 8), std::nullopt); // runs past the block's end

    int notPool = 0;
    EXPECT_EQ(pool().findPoison(&notPool, sizeof notPool), std::nullopt);
    pool().free(block, SimCallSite::current());
}

TEST_F(PoolTest, DoubleFreeNamesTheBlockAndAllThreeSites) {
    const int allocLine = __LINE__ + 1;
    void* block = ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
    const int firstLine = __LINE__ + 1;
    ExFreePool(block);
    const int secondLine = __LINE__ + 1;
    ExFreePool(block);

    const auto found = expectFinding(Rule::PoolDoubleFree, "'Tst1', 24 bytes");
    ASSERT_EQ(found.size(), 1u);
    const std::string& message = found[0].message;
    EXPECT_NE(message.find("allocated at tests/sim/memory/" + here(allocLine)), std::string::npos)
        << message;
    EXPECT_NE(message.find("first at tests/sim/memory/" + here(firstLine)), std::string::npos)
        << message;
    EXPECT_NE(message.find(here(secondLine)), std::string::npos) << message;
}

TEST_F(PoolTest, ForeignPointersAreReportedAndIgnored) {
    int onTheStack = 0;
    ExFreePool(&onTheStack);
    expectFinding(Rule::PoolForeignFree, "not a pool block");

    ExFreePool(nullptr);
    expectFinding(Rule::PoolForeignFree, "not a pool block");

    const int line = __LINE__ + 1;
    auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 32, kTag));
    ExFreePool(block + 8);
    const auto found = expectFinding(Rule::PoolForeignFree, "points 8 bytes into pool block");
    EXPECT_NE(found.at(0).message.find(here(line)), std::string::npos) << found[0].message;
    EXPECT_EQ(pool().liveCount(), 1u);
    ExFreePool(block);
}

TEST_F(PoolTest, WrongTagIsReportedAndTheBlockStillFreed) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ExFreePoolWithTag(block, kOtherTag);
    expectFinding(Rule::PoolWrongTag, "'Tst1', 8 bytes) allocated at");
    EXPECT_EQ(pool().liveCount(), 0u);
}

TEST_F(PoolTest, LeaksAreListedOnePerBlockWithTagSizeAndSite) {
    const int line = __LINE__ + 1;
    void* driverBlock = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
    void* otherBlock = ExAllocatePoolWithTag(NonPagedPool, 7, kOtherTag);
    void* freedBlock = ExAllocatePoolWithTag(NonPagedPool, 7, kTag);
    ExFreePool(freedBlock);

    EXPECT_EQ(pool().reportLeaks("at unload", kTag), 1u);
    auto found = expectFinding(Rule::PoolLeak, "leaked at unload");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(
        found[0].message.find("'Tst1', 100 bytes) allocated at tests/sim/memory/" + here(line)),
        std::string::npos)
        << found[0].message;

    EXPECT_EQ(pool().reportLeaks(), 2u);
    found = expectFinding(Rule::PoolLeak);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_NE(found[0].message.find("'Tst1'"), std::string::npos); // oldest first
    EXPECT_NE(found[1].message.find("'Tst2'"), std::string::npos);
    ExFreePool(driverBlock);
    ExFreePool(otherBlock);
}

TEST_F(PoolTest, WritingPastTheEndIsCaughtAtFree) {
    auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
    block[10] = 0;
    EXPECT_EQ(pool().checkIntegrity(), 1u);
    expectFinding(Rule::PoolCorruption, "guard zone overwritten");
    ExFreePool(block);
    expectFinding(Rule::PoolCorruption, "'Tst1', 10 bytes");
}

TEST_F(PoolTest, WritingAfterFreeIsCaught) {
    auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kTag));
    ExFreePool(block);
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer catches the write itself";
#else
    EXPECT_EQ(static_cast<unsigned char>(block[3]), Pool::kFreedFill);
    block[3] = 1;
    EXPECT_EQ(pool().checkIntegrity(), 1u);
    expectFinding(Rule::PoolCorruption, "written after it was freed");
#endif
}

TEST_F(PoolTest, QuarantineIsBoundedAndStillRecognisesRecentDoubleFrees) {
    const SimCallSite site = SimCallSite::current();
    void* oldest = pool().allocate(4, kTag, site);
    std::vector<void*> later;
    for (std::size_t i = 0; i < Pool::kQuarantineBlocks; ++i)
        later.push_back(pool().allocate(4, kTag, site));
    pool().free(oldest, site);
    for (void* block : later)
        pool().free(block, site);

    EXPECT_FALSE(pool().free(later.back(), site));
    expectFinding(Rule::PoolDoubleFree);
    // The oldest has left quarantine (and nothing was allocated since): its address is unknown.
    EXPECT_FALSE(pool().free(oldest, site));
    expectFinding(Rule::PoolForeignFree);
}

// A block that left the quarantine serves the next allocation of its size, as fresh as a new one:
// poisoned, guarded, and checked for writes after its free on the way out.
TEST_F(PoolTest, ABlockOutOfQuarantineIsReusedFreshForItsSize) {
    const SimCallSite site = SimCallSite::current();
    auto* oldest = static_cast<unsigned char*>(pool().allocate(24, kTag, site));
    std::memset(oldest, 0x11, 24);
    pool().free(oldest, site);
    std::vector<void*> others;
    for (std::size_t i = 0; i < Pool::kQuarantineBlocks; ++i)
        others.push_back(pool().allocate(8, kTag, site));
    for (void* block : others)
        pool().free(block, site);

    EXPECT_EQ(pool().allocate(24, kOtherTag, site), oldest);
    for (int i = 0; i < 24; ++i)
        ASSERT_EQ(oldest[i], Pool::kFreshFill) << "byte " << i;
    EXPECT_EQ(pool().checkIntegrity(), 0u);
    EXPECT_EQ(pool().liveCount(kOtherTag), 1u);
    EXPECT_TRUE(pool().free(oldest, site, kOtherTag));
}

// With the verifier off a freed block is at once the next of its size, unfilled, and misuse is not
// looked at: the platform's behaviour, none of the books.
TEST(PoolWithoutVerifier, ReusesAFreedBlockAtOnceAndKeepsNoBooks) {
    Pool pool(false);
    const SimCallSite site = SimCallSite::current();
    auto* block = static_cast<unsigned char*>(pool.allocate(32, kTag, site));
    std::memset(block, 0x42, 32);
    EXPECT_TRUE(pool.contains(block + 31));
    EXPECT_TRUE(pool.free(block, site));
    EXPECT_FALSE(pool.free(block, site)); // a second free: ignored, not reported
    EXPECT_EQ(pool.allocate(32, kTag, site), block);
    EXPECT_EQ(block[0], 0x42);
    EXPECT_EQ(pool.checkIntegrity(), 0u);
    EXPECT_EQ(pool.liveCount(), 1u);
    pool.free(block, site);
}

TEST_F(PoolTest, PoolAboveItsIrqlIsMisuse) {
    sim::AtDispatchLevel dispatch;
    void* nonPaged = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_TRUE(system_.verifier().take(Rule::IrqlMisuse).empty());
    void* paged = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    expectFinding(Rule::IrqlMisuse, "ExAllocatePoolWithTag called at IRQL 2");
    ExFreePool(nonPaged);
    ExFreePool(paged);
}

TEST_F(PoolTest, CountedStringsFromThePlatformAreFreedToThePool) {
    UNICODE_STRING name;
    sim::allocatePoolUnicodeString(name, u"\\??\\dev#1", SimCallSite::current());
    EXPECT_EQ(name.Length, 9 * sizeof(WCHAR));
    EXPECT_EQ(name.MaximumLength, 10 * sizeof(WCHAR));
    EXPECT_EQ(std::u16string(name.Buffer), u"\\??\\dev#1");
    EXPECT_EQ(pool().liveCount(Pool::kPlatformTag), 1u);
    RtlFreeUnicodeString(&name);
    EXPECT_EQ(name.Buffer, nullptr);
    EXPECT_EQ(name.Length, 0);
    EXPECT_EQ(pool().liveCount(), 0u);

    // A string over a literal is not the platform's to free.
    UNICODE_STRING literal;
    RtlInitUnicodeString(&literal, u"abc");
    EXPECT_EQ(literal.Length, 6);
    EXPECT_EQ(literal.MaximumLength, 8);
    RtlFreeUnicodeString(&literal);
    expectFinding(Rule::PoolForeignFree, "not a pool block");

    RtlInitUnicodeString(&literal, nullptr);
    EXPECT_EQ(literal.Buffer, nullptr);
    EXPECT_EQ(literal.Length, 0);
    EXPECT_EQ(literal.MaximumLength, 0);
}

// Completions allocate and free on other threads: many threads at once must neither lose a block
// nor hand out overlapping memory.
TEST_F(PoolTest, ConcurrentAllocationsFromSeveralThreads) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 3000;
    std::vector<std::thread> threads;
    std::vector<int> corrupted(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &corrupted] {
            std::mt19937 random(static_cast<unsigned>(t));
            std::vector<std::pair<unsigned char*, std::size_t>> held;
            for (int round = 0; round < kRounds; ++round) {
                const std::size_t size = 1 + random() % 200;
                auto* block =
                    static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, size, kTag));
                std::memset(block, t, size);
                held.emplace_back(block, size);
                if (held.size() > 16 || round == kRounds - 1) {
                    while (!held.empty()) {
                        auto [freed, bytes] = held.back();
                        held.pop_back();
                        for (std::size_t i = 0; i < bytes; ++i)
                            corrupted[t] += freed[i] != t;
                        ExFreePool(freed);
                    }
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(corrupted[t], 0) << "thread " << t;
    EXPECT_EQ(pool().liveCount(), 0u);
    EXPECT_EQ(system_.faults().allocationsSeen(sim::AllocKind::Pool),
              static_cast<std::uint64_t>(kThreads * kRounds));
}

} // namespace
