// The kernel image's file and the linker's map, read as the loader reads them (every build).
#include <gtest/gtest.h>

#include "sim/image/link_map.h"
#include "sim/image/pe_file.h"
#include "tests/sim/image/image_files.h"

namespace wdmusb::test {
namespace {

using sim::image::Convention;

struct DecorationCase {
    const char* decorated;
    bool valid;
    Convention convention;
    std::uint32_t argumentBytes;
    std::uint32_t calleePops;
};

TEST(LinkMapTest, DecoratedNamesSayHowTheImageCallsEachImport) {
    const DecorationCase cases[] = {
        {"_ExAllocatePoolWithTag@12", true, Convention::Stdcall, 12, 12},
        {"@IofCallDriver@8", true, Convention::Fastcall, 8, 0},
        {"@InterlockedCompareExchange@12", true, Convention::Fastcall, 12, 4},
        {"@InterlockedIncrement@4", true, Convention::Fastcall, 4, 0},
        {"_KeGetCurrentIrql@0", true, Convention::Stdcall, 0, 0},
        {"_memcpy", true, Convention::Cdecl, 0, 0},
        {"_USBD_ParseConfigurationDescriptorEx@28", true, Convention::Stdcall, 28, 28},
        {"memcpy", false, {}, 0, 0},
        {"_Name@x", false, {}, 0, 0},
        {"@", false, {}, 0, 0},
    };
    for (const DecorationCase& c : cases) {
        SCOPED_TRACE(c.decorated);
        const auto slot = sim::image::parseDecoration(c.decorated);
        ASSERT_EQ(slot.has_value(), c.valid);
        if (!c.valid)
            continue;
        EXPECT_EQ(slot->convention, c.convention);
        EXPECT_EQ(slot->argumentBytes, c.argumentBytes);
        EXPECT_EQ(slot->calleePops(), c.calleePops);
    }
}

// Routines come from their own sections, whether the address shares the section's line or comes
// on the next; mangled names lose their parameter lists; import stubs are named by their symbols.
TEST(LinkMapTest, RoutinesAreNamedFromTheirSections) {
    const std::string map = R"(.text           0x00011000     0x3000
 .text          0x00011000        0x8 libntoskrnl.a(libntoskrnls02118.o)
                0x00011000                memset
 .text$DriverEntry
                0x00011010       0x60 entry.cpp.obj
                0x00011010                DriverEntry@8
 .text$_Z11DispatchPnpP14_DEVICE_OBJECTP4_IRP 0x00011070 0x20 dispatch_pnp.cpp.obj
 .text$_ZN12_GLOBAL__N_121LockApplicationBufferERK15_VENDOR_REQUESTPP4_MDL
                0x00011090       0x40 vendor_request.cpp.obj

.idata          0x00015000      0x200
 .idata$5       0x00015100        0x4 libhal.a(libhals00094.o)
                0x00015100                _imp_@KfAcquireSpinLock@4
)";
    std::string error;
    const auto parsed = sim::image::parseLinkMap(map, error);
    ASSERT_TRUE(parsed) << error;
    ASSERT_EQ(parsed->routines.size(), 4u);
    const std::pair<std::uint32_t, const char*> named[] = {
        {0x11004, "memset"},
        {0x11010, "DriverEntry"},
        {0x1108F, "DispatchPnp"},
        {0x110A0, "(anonymous namespace)::LockApplicationBuffer"}};
    for (const auto& [address, name] : named) {
        const sim::image::Routine* routine = parsed->routineAt(address);
        ASSERT_NE(routine, nullptr) << name;
        EXPECT_EQ(routine->name, name);
    }
    EXPECT_EQ(parsed->routineAt(0x110D0), nullptr);
    ASSERT_EQ(parsed->slots.count(0x15100), 1u);
    EXPECT_EQ(parsed->slots.at(0x15100).convention, Convention::Fastcall);
}

TEST(PeFileTest, TheShippedImageIsANativeDriverWithRelocationsAndNamedImports) {
    REQUIRE_KERNEL_BUILD_FILE("wdmusb.sys");
    const std::vector<std::uint8_t> bytes = fileBytes(kernelBuildFile("wdmusb.sys"));
    std::string error;
    const auto pe = sim::image::parsePe(bytes, error);
    ASSERT_TRUE(pe) << error;
    EXPECT_EQ(pe->subsystem, sim::image::PeFile::kSubsystemNative);
    EXPECT_EQ(pe->characteristics & sim::image::PeFile::kDll, 0);
    EXPECT_FALSE(pe->relocations.empty());
    EXPECT_EQ(pe->checksum, sim::image::peChecksum(bytes, pe->checksumOffset));
    bool callsDriver = false;
    for (const auto& import : pe->imports)
        callsDriver |= import.module == "ntoskrnl.exe" && import.name == "IofCallDriver";
    EXPECT_TRUE(callsDriver);
}

// Damaged files are refused with a reason, never read past their end.
TEST(PeFileTest, DamagedFilesAreRefusedWithAReason) {
    REQUIRE_KERNEL_BUILD_FILE("wdmusb.sys");
    const std::vector<std::uint8_t> image = fileBytes(kernelBuildFile("wdmusb.sys"));
    const std::uint32_t pe = image[0x3C] | image[0x3D] << 8;
    struct Damage {
        const char* what;
        std::size_t keep; // bytes of the file kept
        std::size_t at;   // a byte changed (0: none)
        std::uint8_t value;
        const char* reason;
    };
    const Damage cases[] = {
        {"empty", 0, 0, 0, "no MZ header"},
        {"headers only", 0x180, 0, 0, "section"},
        {"another machine", image.size(), pe + 4, 0x64, "not an i386 image"},
        {"a 64-bit image", image.size(), pe + 24, 0x0B, "not a PE32 image"},
        {"truncated", image.size() / 2, 0, 0, ""},
    };
    for (const Damage& d : cases) {
        SCOPED_TRACE(d.what);
        std::vector<std::uint8_t> bytes(image.begin(), image.begin() + d.keep);
        if (d.at != 0) {
            bytes[d.at] = d.value;
            if (d.at == pe + 24)
                bytes[d.at + 1] = 0x02; // PE32+
        }
        std::string error;
        EXPECT_FALSE(sim::image::parsePe(bytes, error));
        EXPECT_NE(error.find(d.reason), std::string::npos) << error;
    }
}

} // namespace
} // namespace wdmusb::test
