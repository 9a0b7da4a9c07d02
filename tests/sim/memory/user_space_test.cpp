// The simulated user address space: where regions land, what is a bad address, and what access
// each region allows.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "sim/memory/user_space.h"

namespace {

using sim::UserAddressSpace;
using Access = UserAddressSpace::Access;

std::uintptr_t value(const void* address) {
    return reinterpret_cast<std::uintptr_t>(address);
}
void* offset(void* address, std::size_t bytes) {
    return static_cast<char*>(address) + bytes;
}

TEST(UserAddressSpace, RegionsArePageAlignedZeroFilledAndBelowTheLimit) {
    UserAddressSpace space;
    void* base = space.map(5000);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(value(base) % UserAddressSpace::kPageBytes, 0u);
    EXPECT_GE(value(base), UserAddressSpace::kLowestAddress);
    EXPECT_LT(value(base) + 8192, UserAddressSpace::kLimit);

    std::vector<unsigned char> bytes(8192, 0xFF);
    ASSERT_TRUE(space.read(base, bytes.data(), bytes.size())); // rounded up to whole pages
    EXPECT_EQ(bytes, std::vector<unsigned char>(8192, 0));
    EXPECT_EQ(space.map(0), nullptr);
    EXPECT_EQ(space.map(std::size_t{3} << 30), nullptr);
}

TEST(UserAddressSpace, NullPageAndGapsBetweenRegionsAreBadAddresses) {
    UserAddressSpace space;
    void* first = space.map(4096);
    void* second = space.map(4096);
    EXPECT_FALSE(space.probe(nullptr, 1, Access::Read));
    EXPECT_FALSE(space.probe(reinterpret_cast<void*>(0x1000), 1, Access::Read));
    EXPECT_TRUE(space.probe(first, 4096, Access::Write));
    EXPECT_FALSE(space.probe(first, 4097, Access::Read)); // one byte into the free page after it
    EXPECT_GE(value(second), value(first) + 2 * UserAddressSpace::kPageBytes);
    EXPECT_FALSE(space.probe(reinterpret_cast<void*>(0x90000000), 1, Access::Read));
    // A range that wraps around the top of a 32-bit address.
    EXPECT_FALSE(space.probe(first, std::size_t{0xFFFFFFFF}, Access::Read));
}

TEST(UserAddressSpace, ReadOnlyRegionsRefuseWritesButNotReads) {
    UserAddressSpace space;
    void* base = space.map(100);
    const char text[] = "hello";
    ASSERT_TRUE(space.write(base, text, sizeof text));
    ASSERT_TRUE(space.setWritable(base, false));

    EXPECT_FALSE(space.write(base, text, sizeof text));
    EXPECT_FALSE(space.probe(base, 10, Access::Write));
    EXPECT_FALSE(space.lock(base, 10, Access::Write).has_value());
    auto locked = space.lock(base, sizeof text, Access::Read);
    ASSERT_TRUE(locked.has_value());
    EXPECT_STREQ(reinterpret_cast<const char*>(locked->host), "hello");
    EXPECT_EQ(space.map(10, false) != nullptr, true);
}

TEST(UserAddressSpace, ARegionWithoutAccessIsRefusedAsIfUnmappedUntilItIsProtectedAgain) {
    UserAddressSpace space;
    auto* base = static_cast<unsigned char*>(space.mapHostVisible(100));
    ASSERT_NE(base, nullptr);
    base[0] = 7;
    ASSERT_TRUE(space.protect(base, UserAddressSpace::Protection::NoAccess));
    EXPECT_EQ(space.protection(base), UserAddressSpace::Protection::NoAccess);
    unsigned char byte = 0;
    EXPECT_FALSE(space.read(base, &byte, 1));
    EXPECT_FALSE(space.write(base, &byte, 1));
    EXPECT_FALSE(space.probe(base, 1, Access::Read));
    EXPECT_FALSE(space.lock(base, 1, Access::Read).has_value());
    EXPECT_TRUE(space.isHostVisible(base, 1)); // still the application's, to protect or free

    ASSERT_TRUE(space.protect(base, UserAddressSpace::Protection::ReadOnly));
    EXPECT_TRUE(space.read(base, &byte, 1));
    EXPECT_EQ(byte, 7);
    EXPECT_FALSE(space.probe(base, 1, Access::Write));
    EXPECT_TRUE(space.unmap(base));
    EXPECT_FALSE(space.protection(base).has_value());
}

TEST(UserAddressSpace, UnmappedAddressesAreNotHandedOutAgainAtOnce) {
    UserAddressSpace space;
    void* first = space.map(4096);
    ASSERT_TRUE(space.unmap(first));
    EXPECT_FALSE(space.unmap(first));
    EXPECT_FALSE(space.probe(first, 1, Access::Read));
    EXPECT_NE(space.map(4096), first);
    EXPECT_EQ(space.regionCount(), 1u);
}

TEST(UserAddressSpace, LockedPagesOutliveTheApplicationsUnmap) {
    UserAddressSpace space;
    void* base = space.map(8192);
    const std::uint32_t marker = 0x12345678;
    ASSERT_TRUE(space.write(offset(base, 4100), &marker, sizeof marker));
    auto locked = space.lock(offset(base, 4100), 4, Access::Write);
    ASSERT_TRUE(locked.has_value());
    ASSERT_TRUE(space.unmap(base));
    std::uint32_t seen = 0;
    std::memcpy(&seen, locked->host, sizeof seen);
    EXPECT_EQ(seen, marker);
}

TEST(UserAddressSpace, FullSpaceRefusesAndReusesFreedRoomAfterWrapping) {
    UserAddressSpace space;
    constexpr std::size_t kBig = std::size_t{512} << 20;
    std::vector<void*> regions;
    while (void* base = space.map(kBig))
        regions.push_back(base);
    EXPECT_EQ(regions.size(), 3u); // 2 GiB less the low 64 KiB and the separating pages
    ASSERT_TRUE(space.unmap(regions[0]));
    EXPECT_EQ(space.map(kBig), regions[0]);
}

} // namespace
