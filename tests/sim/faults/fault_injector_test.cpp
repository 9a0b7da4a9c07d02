// The fault injector decides which allocations fail; these tests drive it directly with made-up
// call sites, and once through a platform routine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host/host_platform.h"
#include "sim/faults/fault_injector.h"
#include "sim/memory/pool.h"
#include "tests/support/sim_fixture.h"

namespace {

using sim::AllocKind;
using sim::FaultInjector;

constexpr ULONG kTestTag = sim::poolTag("Test");
constexpr SimCallSite kSiteA{"driver/a.cpp", "Alpha", 10};
constexpr SimCallSite kSiteB{"driver/b.cpp", "Beta", 20};

// Which of `count` allocations alternating between the two sites fail (as 0/1 characters).
std::string failurePattern(FaultInjector& faults, int count, AllocKind kind = AllocKind::Pool) {
    std::string pattern;
    for (int i = 0; i < count; ++i)
        pattern += faults.shouldFail(kind, i % 2 == 0 ? kSiteA : kSiteB) ? '1' : '0';
    return pattern;
}

TEST(FaultInjector, FailsNothingUntilArmed) {
    FaultInjector faults;
    EXPECT_EQ(failurePattern(faults, 50), std::string(50, '0'));
    EXPECT_EQ(faults.allocationsSeen(), 50u);
    EXPECT_EQ(faults.failuresInjected(), 0u);
}

TEST(FaultInjector, FailNthCountsFromNowAndFailsOnce) {
    FaultInjector faults;
    failurePattern(faults, 3);
    faults.failNth(4);
    EXPECT_EQ(failurePattern(faults, 8), "00010000");
    EXPECT_EQ(faults.failuresInjected(), 1u);
}

TEST(FaultInjector, FailNthOfKindCountsOnlyThatKind) {
    FaultInjector faults;
    faults.failNthOfKind(AllocKind::Irp, 2);
    EXPECT_EQ(failurePattern(faults, 5, AllocKind::Pool), "00000");
    EXPECT_FALSE(faults.shouldFail(AllocKind::Irp, kSiteA));
    EXPECT_TRUE(faults.shouldFail(AllocKind::Irp, kSiteA));
    EXPECT_FALSE(faults.shouldFail(AllocKind::Irp, kSiteA));
    EXPECT_EQ(faults.allocationsSeen(AllocKind::Irp), 3u);
}

TEST(FaultInjector, FailAllOfKindLastsUntilCleared) {
    FaultInjector faults;
    faults.failAllOfKind(AllocKind::Mdl);
    EXPECT_EQ(failurePattern(faults, 4, AllocKind::Mdl), "1111");
    EXPECT_EQ(failurePattern(faults, 4, AllocKind::Pool), "0000");
    faults.failAllOfKind(AllocKind::Mdl, false);
    EXPECT_EQ(failurePattern(faults, 4, AllocKind::Mdl), "0000");
}

TEST(FaultInjector, RandomFailuresReplayFromThePrintedSeed) {
    FaultInjector first;
    testing::internal::CaptureStderr();
    first.failRandomly(1234, 250);
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("fault injection seed: 1234"), std::string::npos) << printed;
    const std::string pattern = failurePattern(first, 2000);

    FaultInjector replay;
    replay.failRandomly(1234, 250);
    EXPECT_EQ(failurePattern(replay, 2000), pattern);

    FaultInjector other;
    other.failRandomly(4321, 250);
    EXPECT_NE(failurePattern(other, 2000), pattern);

    const auto failed = std::count(pattern.begin(), pattern.end(), '1');
    EXPECT_GT(failed, 400);
    EXPECT_LT(failed, 600);
}

TEST(FaultInjector, ArmedTriggersDoNotShiftTheRandomSequence) {
    FaultInjector plain;
    plain.failRandomly(77, 100);
    const std::string pattern = failurePattern(plain, 200);

    FaultInjector armed;
    armed.failRandomly(77, 100);
    armed.failNth(50);
    std::string withNth = failurePattern(armed, 200);
    withNth[49] = pattern[49]; // the one armed failure aside, the same calls fail
    EXPECT_EQ(withNth, pattern);
}

TEST(FaultInjector, SiteOnceFailsOnlyTheNextCallFromThatSite) {
    FaultInjector faults;
    faults.failSiteOnce(sim::AllocationSite::from(AllocKind::Pool, kSiteB));
    EXPECT_EQ(failurePattern(faults, 6), "010000");
    // The same place allocating another kind is another site.
    faults.failSiteOnce(sim::AllocationSite::from(AllocKind::Irp, kSiteA));
    EXPECT_EQ(failurePattern(faults, 2, AllocKind::Pool), "00");
}

TEST(FaultInjector, RecordsEachDistinctSiteOnceInOrderUntilReset) {
    FaultInjector faults;
    failurePattern(faults, 10);
    faults.shouldFail(AllocKind::Irp, kSiteA);
    const std::vector<sim::AllocationSite> expected{
        sim::AllocationSite::from(AllocKind::Pool, kSiteA),
        sim::AllocationSite::from(AllocKind::Pool, kSiteB),
        sim::AllocationSite::from(AllocKind::Irp, kSiteA)};
    EXPECT_EQ(faults.sitesSeen(), expected);

    faults.failAllOfKind(AllocKind::Pool);
    faults.reset();
    EXPECT_TRUE(faults.sitesSeen().empty());
    EXPECT_EQ(faults.allocationsSeen(), 0u);
    EXPECT_EQ(failurePattern(faults, 4), "0000");
}

// A site's names may be built at run time: another name at the same address is another site.
TEST(FaultInjector, NamesBuiltAtRunTimeAreKeptAsTheyWere) {
    FaultInjector faults;
    char file[32] = "driver/built.cpp";
    faults.shouldFail(AllocKind::Pool, SimCallSite{file, "Gamma", 30});
    std::strcpy(file, "driver/other.cpp");
    faults.shouldFail(AllocKind::Pool, SimCallSite{file, "Gamma", 30});
    std::strcpy(file, "driver/built.cpp");
    faults.shouldFail(AllocKind::Pool, SimCallSite{file, "Gamma", 30});
    const auto sites = faults.sitesSeen();
    ASSERT_EQ(sites.size(), 2u);
    EXPECT_EQ(sites[0].file, "driver/built.cpp");
    EXPECT_EQ(sites[1].file, "driver/other.cpp");

    faults.failSiteOnce(sites[1]);
    EXPECT_FALSE(faults.shouldFail(AllocKind::Pool, SimCallSite{file, "Gamma", 30}));
    EXPECT_TRUE(faults.shouldFail(AllocKind::Pool, SimCallSite{"driver/other.cpp", "Gamma", 30}));
}

// Systematic low-resources run: every site seen in a clean run is failed once, in turn.
TEST(FaultInjector, SystematicRunFailsEachSiteInTurn) {
    FaultInjector faults;
    failurePattern(faults, 4);
    for (const auto& site : faults.sitesSeen()) {
        FaultInjector run;
        run.failSiteOnce(site);
        const std::string pattern = failurePattern(run, 4);
        EXPECT_EQ(pattern, site.line == kSiteA.line ? "1000" : "0100");
    }
}

using FaultInjectionThroughPlatform = wdmusb::test::SimTest;

TEST_F(FaultInjectionThroughPlatform, PoolAllocationFailsWhenInjected) {
    system_.faults().failNthOfKind(AllocKind::Pool, 2);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    ExFreePool(first);

    const auto sites = system_.faults().sitesSeen();
    ASSERT_EQ(sites.size(), 2u);
    EXPECT_NE(sites[0].file.find("fault_injector_test.cpp"), std::string::npos);

    // A must-succeed request never fails.
    system_.faults().failAllOfKind(AllocKind::Pool);
    void* mustSucceed = ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 16, kTestTag);
    EXPECT_NE(mustSucceed, nullptr);
    ExFreePool(mustSucceed);
}

} // namespace
