// MDLs over the simulated user address space and over pool: probing and locking through the
// guard, partial MDLs, system addresses, and each misuse the table reports.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "platform/platform.h"
#include "sim/memory/mdl_table.h"
#include "sim/memory/pool.h"
#include "sim/memory/user_space.h"
#include "tests/support/sim_fixture.h"

namespace {

using sim::Rule;

constexpr std::size_t kBufferBytes = 3 * PAGE_SIZE + 100;

class MdlTest : public wdmusb::test::SimTest {
protected:
    // A writable application buffer holding 0, 1, 2, ... (mod 251), starting mid-page.
    void* patternedBuffer() {
        void* region = system_.userSpace().map(kBufferBytes + 64);
        void* buffer = static_cast<char*>(region) + 64;
        std::vector<unsigned char> bytes(kBufferBytes);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<unsigned char>(i % 251);
        EXPECT_TRUE(system_.userSpace().write(buffer, bytes.data(), bytes.size()));
        return buffer;
    }

    PMDL lockedMdl(void* buffer, ULONG length, LOCK_OPERATION operation = IoWriteAccess) {
        PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
        EXPECT_EQ(ProbeAndLockPagesGuarded(mdl, UserMode, operation), STATUS_SUCCESS);
        return mdl;
    }

    void unlockAndFree(PMDL mdl) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
};

TEST_F(MdlTest, AllocatedMdlDescribesTheBuffer) {
    void* buffer = patternedBuffer();
    PMDL mdl = IoAllocateMdl(buffer, 5000, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), buffer);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 5000u);
    EXPECT_EQ(MmGetMdlByteOffset(mdl), 64u);
    EXPECT_EQ(mdl->MdlFlags, 0);
    IoFreeMdl(mdl);
}

TEST_F(MdlTest, IrpGetsTheMdlOrChainsItAsASecondaryBuffer) {
    void* buffer = patternedBuffer();
    IRP irp{};
    PMDL first = IoAllocateMdl(buffer, 100, FALSE, FALSE, &irp);
    PMDL second = IoAllocateMdl(buffer, 200, TRUE, FALSE, &irp);
    PMDL third = IoAllocateMdl(buffer, 300, TRUE, FALSE, &irp);
    EXPECT_EQ(irp.MdlAddress, first);
    EXPECT_EQ(first->Next, second);
    EXPECT_EQ(second->Next, third);
    system_.mdls().unlockAndFreeChain(irp.MdlAddress, SimCallSite::current());
    EXPECT_EQ(system_.mdls().liveCount(), 0u);
}

TEST_F(MdlTest, LockedMdlMapsTheBufferBothWays) {
    void* buffer = patternedBuffer();
    PMDL mdl = lockedMdl(buffer, kBufferBytes);
    EXPECT_NE(mdl->MdlFlags & MDL_PAGES_LOCKED, 0);
    auto* system =
        static_cast<unsigned char*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(system[0], 0);
    EXPECT_EQ(system[kBufferBytes - 1], (kBufferBytes - 1) % 251);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), system);

    system[10] = 0xAB; // the driver writes: the application sees it
    unsigned char seen = 0;
    ASSERT_TRUE(system_.userSpace().read(static_cast<char*>(buffer) + 10, &seen, 1));
    EXPECT_EQ(seen, 0xAB);
    unlockAndFree(mdl);
}

TEST_F(MdlTest, PartialMdlOverALockedBufferMapsTheRightBytes) {
    void* buffer = patternedBuffer();
    PMDL source = lockedMdl(buffer, kBufferBytes);
    constexpr ULONG kChunkOffset = 5000;
    constexpr ULONG kChunkBytes = 3000;
    char* chunk = static_cast<char*>(buffer) + kChunkOffset;
    // Allocated over the whole buffer, so that it can describe any chunk of it.
    PMDL partial = IoAllocateMdl(buffer, kBufferBytes, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(source, partial, chunk, kChunkBytes);
    EXPECT_NE(partial->MdlFlags & MDL_PARTIAL, 0);
    EXPECT_EQ(MmGetMdlVirtualAddress(partial), chunk);

    auto* system =
        static_cast<unsigned char*>(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority));
    ASSERT_NE(system, nullptr);
    for (ULONG i = 0; i < kChunkBytes; ++i)
        ASSERT_EQ(system[i], (kChunkOffset + i) % 251) << "byte " << i;

    // Reused for the next chunk, with the length taken to the end of the source.
    char* tail = static_cast<char*>(buffer) + kBufferBytes - 700;
    IoBuildPartialMdl(source, partial, tail, 0);
    EXPECT_EQ(MmGetMdlByteCount(partial), 700u);
    system = static_cast<unsigned char*>(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority));
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(system[0], (kBufferBytes - 700) % 251);

    IoFreeMdl(partial);
    unlockAndFree(source);
}

TEST_F(MdlTest, GuardedProbeOfABadRangeReturnsAccessViolation) {
    void* buffer = patternedBuffer();
    void* readOnly = system_.userSpace().map(PAGE_SIZE, false);
    struct Case {
        const char* what;
        void* address;
        ULONG length;
        LOCK_OPERATION operation;
    } const cases[] = {
        {"unmapped", reinterpret_cast<void*>(0x7FFF0000), 16, IoReadAccess},
        {"null page", nullptr, 16, IoReadAccess},
        {"runs off the end", buffer, kBufferBytes + PAGE_SIZE, IoReadAccess},
        {"read-only, write", readOnly, 16, IoWriteAccess},
        {"read-only, modify", readOnly, 16, IoModifyAccess},
    };
    for (const Case& c : cases) {
        PMDL mdl = IoAllocateMdl(c.address, c.length, FALSE, FALSE, nullptr);
        EXPECT_EQ(ProbeAndLockPagesGuarded(mdl, UserMode, c.operation), STATUS_ACCESS_VIOLATION)
            << c.what;
        EXPECT_FALSE(system_.mdls().isLocked(mdl)) << c.what;
        EXPECT_EQ(mdl->MdlFlags & MDL_PAGES_LOCKED, 0) << c.what;
        IoFreeMdl(mdl);
    }
    PMDL readable = lockedMdl(readOnly, 16, IoReadAccess);
    unlockAndFree(readable);
}

TEST_F(MdlTest, BareProbeThatWouldRaiseIsReported) {
    void* readOnly = system_.userSpace().map(PAGE_SIZE, false);
    PMDL mdl = IoAllocateMdl(readOnly, 16, FALSE, FALSE, nullptr);
    const int line = __LINE__ + 1;
    MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
    const auto found = expectFinding(Rule::UnguardedProbe, "mdl_test.cpp:" + std::to_string(line));
    EXPECT_NE(found.at(0).message.find("+16 bytes"), std::string::npos) << found[0].message;
    EXPECT_FALSE(system_.mdls().isLocked(mdl));

    MmProbeAndLockPages(mdl, UserMode, IoReadAccess); // succeeds: nothing to report
    EXPECT_TRUE(system_.mdls().isLocked(mdl));
    unlockAndFree(mdl);
}

TEST_F(MdlTest, PartialMisuseIsReportedAndLeavesTheTargetAlone) {
    void* buffer = patternedBuffer();
    char* start = static_cast<char*>(buffer);
    PMDL unlocked = IoAllocateMdl(buffer, 1000, FALSE, FALSE, nullptr);
    PMDL target = IoAllocateMdl(buffer, 1000, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(unlocked, target, buffer, 100);
    expectFinding(Rule::MdlMisuse, "neither locked nor non-paged pool");

    PMDL source = lockedMdl(buffer, 1000);
    IoBuildPartialMdl(source, target, start + 900, 200);
    expectFinding(Rule::MdlMisuse, "outside the buffer of MDL");
    IoBuildPartialMdl(source, target, start - 1, 10);
    expectFinding(Rule::MdlMisuse, "outside the buffer of MDL");
    EXPECT_EQ(target->MdlFlags & MDL_PARTIAL, 0);

    PMDL big = lockedMdl(buffer, kBufferBytes);
    IoBuildPartialMdl(big, target, buffer, 3 * PAGE_SIZE);
    expectFinding(Rule::MdlMisuse, "allocated for 1 pages, of a range of 4 pages");

    IoBuildPartialMdl(source, source, buffer, 10);
    expectFinding(Rule::MdlMisuse, "as both source and target");

    unlockAndFree(big);
    unlockAndFree(source);
    IoFreeMdl(target);
    IoFreeMdl(unlocked);
}

TEST_F(MdlTest, SystemAddressOfAnUnlockedMdlIsNullAndReported) {
    void* buffer = patternedBuffer();
    PMDL mdl = IoAllocateMdl(buffer, 100, FALSE, FALSE, nullptr);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    expectFinding(Rule::MdlMisuse, "which is not locked");

    // A partial whose source was unlocked under it.
    ASSERT_EQ(ProbeAndLockPagesGuarded(mdl, UserMode, IoReadAccess), STATUS_SUCCESS);
    PMDL partial = IoAllocateMdl(buffer, 50, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(mdl, partial, buffer, 50);
    MmUnlockPages(mdl);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority), nullptr);
    expectFinding(Rule::MdlMisuse, "is no longer locked");
    IoFreeMdl(mdl);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority), nullptr);
    expectFinding(Rule::MdlMisuse, "whose source MDL has been freed");
    IoFreeMdl(partial);
}

TEST_F(MdlTest, LockStateMisuseIsReported) {
    void* buffer = patternedBuffer();
    PMDL mdl = lockedMdl(buffer, 100);
    EXPECT_EQ(ProbeAndLockPagesGuarded(mdl, UserMode, IoReadAccess), STATUS_INVALID_PARAMETER);
    expectFinding(Rule::MdlMisuse, "locked already at");
    MmUnlockPages(mdl);
    MmUnlockPages(mdl);
    expectFinding(Rule::MdlMisuse, "which is not locked");
    ASSERT_EQ(ProbeAndLockPagesGuarded(mdl, UserMode, IoReadAccess), STATUS_SUCCESS);
    IoFreeMdl(mdl);
    expectFinding(Rule::MdlMisuse, "freed with its pages still locked");
}

TEST_F(MdlTest, DoubleFreeAndForeignMdlsAreReported) {
    void* buffer = patternedBuffer();
    const int line = __LINE__ + 1;
    PMDL mdl = IoAllocateMdl(buffer, 100, FALSE, FALSE, nullptr);
    IoFreeMdl(mdl);
    IoFreeMdl(mdl);
    const auto found = expectFinding(Rule::MdlMisuse, "already freed at");
    EXPECT_NE(found.at(0).message.find("mdl_test.cpp:" + std::to_string(line)), std::string::npos)
        << found[0].message;

    MDL forged{};
    IoFreeMdl(&forged);
    expectFinding(Rule::MdlMisuse, "not an MDL from IoAllocateMdl");
    EXPECT_EQ(ProbeAndLockPagesGuarded(&forged, KernelMode, IoReadAccess),
              STATUS_INVALID_PARAMETER);
    expectFinding(Rule::MdlMisuse, "not an MDL from IoAllocateMdl");
}

// An MDL record that left the quarantine serves the next IoAllocateMdl as a new one: nothing of
// its old flags, lock, partial source or mapping is left.
TEST_F(MdlTest, AnMdlOutOfQuarantineIsReusedAsNew) {
    void* buffer = patternedBuffer();
    PMDL source = lockedMdl(buffer, 2 * PAGE_SIZE);
    PMDL oldest = IoAllocateMdl(buffer, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(source, oldest, buffer, 100);
    ASSERT_NE(MmGetSystemAddressForMdlSafe(oldest, NormalPagePriority), nullptr);
    IoFreeMdl(oldest);
    for (std::size_t i = 0; i < sim::MdlTable::kQuarantineMdls; ++i)
        IoFreeMdl(IoAllocateMdl(buffer, 10, FALSE, FALSE, nullptr));

    void* later = static_cast<char*>(buffer) + PAGE_SIZE;
    PMDL mdl = IoAllocateMdl(later, 300, FALSE, FALSE, nullptr);
    ASSERT_EQ(mdl, oldest);
    EXPECT_EQ(mdl->MdlFlags, 0);
    EXPECT_EQ(mdl->MappedSystemVa, nullptr);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), later);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 300u);
    EXPECT_FALSE(system_.mdls().isLocked(mdl));
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    expectFinding(Rule::MdlMisuse, "not locked");
    IoFreeMdl(mdl);
    unlockAndFree(source);
}

TEST_F(MdlTest, LeakedMdlIsReportedWithItsSite) {
    void* buffer = patternedBuffer();
    const int line = __LINE__ + 1;
    PMDL mdl = IoAllocateMdl(buffer, 100, FALSE, FALSE, nullptr);
    EXPECT_EQ(system_.mdls().reportLeaks("at removal"), 1u);
    expectFinding(Rule::MdlLeak, "mdl_test.cpp:" + std::to_string(line));
    IoFreeMdl(mdl);
}

TEST_F(MdlTest, PoolBufferMapsDirectlyAndRefusesUserModeProbe) {
    auto* block = static_cast<unsigned char*>(
        system_.pool().allocate(2 * PAGE_SIZE, sim::Pool::kPlatformTag, SimCallSite::current()));
    std::iota(block, block + 200, 0);
    PMDL mdl = IoAllocateMdl(block, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
    EXPECT_NE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL, 0);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), block);

    PMDL partial = IoAllocateMdl(block + 100, 50, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(mdl, partial, block + 100, 50);
    auto* system =
        static_cast<unsigned char*>(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority));
    ASSERT_EQ(system, block + 100);
    EXPECT_EQ(system[0], 100);

    EXPECT_EQ(ProbeAndLockPagesGuarded(mdl, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(ProbeAndLockPagesGuarded(mdl, KernelMode, IoWriteAccess), STATUS_SUCCESS);
    MmUnlockPages(mdl);
    IoFreeMdl(partial);
    IoFreeMdl(mdl);
    system_.pool().free(block, SimCallSite::current());
}

TEST_F(MdlTest, InjectedFailuresReturnNullWithoutAFinding) {
    void* buffer = patternedBuffer();
    system_.faults().failNthOfKind(sim::AllocKind::Mdl, 1);
    EXPECT_EQ(IoAllocateMdl(buffer, 100, FALSE, FALSE, nullptr), nullptr);

    PMDL mdl = lockedMdl(buffer, 100);
    system_.faults().failNthOfKind(sim::AllocKind::SystemMapping, 1);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    EXPECT_NE(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    unlockAndFree(mdl);
}

} // namespace
