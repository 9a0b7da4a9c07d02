// The kernel image loaded into the simulator: what the loader refuses, and naming a place in the
// image. Loading runs only in the 32-bit build; elsewhere the loader must say so.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <functional>

#include "sim/image/loaded_image.h"
#include "sim/image/routine_call.h"
#include "sim/verifier/verifier.h"
#include "tests/sim/image/image_files.h"

namespace wdmusb::test {
namespace {

using sim::image::LoadedImage;

class ImageLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_KERNEL_BUILD_FILE("wdmusb.sys");
        if (sizeof(void*) != 4)
            GTEST_SKIP() << "kernel images run in the 32-bit build only";
    }
    void TearDown() override {
        for (const std::string& file : temporary_)
            std::remove(file.c_str());
    }

    // A copy of the image and its map, the map edited by `editMap`, the image by `editImage`.
    std::string copyOfImage(const std::function<void(std::string&)>& editMap,
                            const std::function<void(std::string&)>& editImage = {}) {
        const std::string base = ::testing::TempDir() + "wdmusb-copy-" + std::to_string(getpid()) +
                                 "-" + std::to_string(temporary_.size());
        std::string map = fileText(kernelBuildFile("wdmusb.map"));
        const std::vector<std::uint8_t> bytes = fileBytes(kernelBuildFile("wdmusb.sys"));
        std::string image(bytes.begin(), bytes.end());
        if (editMap)
            editMap(map);
        if (editImage)
            editImage(image);
        writeFile(base + ".map", map);
        writeFile(base + ".sys", image);
        temporary_.push_back(base + ".map");
        temporary_.push_back(base + ".sys");
        return base + ".sys";
    }

    std::vector<std::string> temporary_;
};

TEST(ImageLoader64Test, AHostBuildOfAnotherWidthSaysWhereImagesRun) {
    if (sizeof(void*) == 4)
        GTEST_SKIP() << "the 32-bit build loads images";
    std::string error;
    EXPECT_EQ(LoadedImage::load(kernelBuildFile("wdmusb.sys"), error), nullptr);
    EXPECT_NE(error.find("only in the 32-bit build (preset host32)"), std::string::npos) << error;
}

TEST_F(ImageLoaderTest, TheShippedImageLoadsWithItsRoutinesNamed) {
    std::string error;
    auto image = LoadedImage::load(kernelBuildFile("wdmusb.sys"), error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_TRUE(image->contains(reinterpret_cast<std::uintptr_t>(image->entry())));
    std::uint32_t offset = 1;
    const sim::image::Routine* entry =
        image->routineAt(reinterpret_cast<std::uintptr_t>(image->entry()), &offset);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->name, "DriverEntry");
    EXPECT_EQ(offset, 0u);
    // Its import slots hold the gate's trampolines, not the link-time addresses.
    const std::uintptr_t slot = image->importSlot("IofCallDriver");
    ASSERT_NE(slot, 0u);
    EXPECT_FALSE(image->contains(*reinterpret_cast<const std::uint32_t*>(slot)));
    const SimCallSite site = image->siteOf(reinterpret_cast<std::uintptr_t>(image->entry()) + 5);
    EXPECT_EQ(sim::describe(site), "wdmusb.sys!DriverEntry+0x5");
}

struct Refusal {
    const char* what;
    std::function<void(std::string&)> editMap;
    std::function<void(std::string&)> editImage;
    const char* reason;
};

// What the platform's loader would refuse, or the simulator cannot run as the image expects,
// stops the load with the reason and the name.
TEST_F(ImageLoaderTest, ImagesThatCannotRunAreRefusedByName) {
    const auto replace = [](const std::string& from, const std::string& to) {
        return [from, to](std::string& text) {
            ASSERT_NE(text.find(from), std::string::npos) << from;
            for (std::size_t at = text.find(from); at != std::string::npos;
                 at = text.find(from, at + to.size()))
                text.replace(at, from.size(), to);
        };
    };
    const Refusal cases[] = {
        {"a stdcall call of a fastcall routine",
         replace("_imp_@IofCallDriver@8", "_imp__IofCallDriver@8"),
         {},
         "calls ntoskrnl.exe!IofCallDriver as _IofCallDriver@8 (stdcall"},
        {"a wrong argument count",
         replace("_imp__IoFreeIrp@4", "_imp__IoFreeIrp@8"),
         {},
         "IoFreeIrp as _IoFreeIrp@8 (stdcall, 8 bytes of arguments), but the simulator's routine "
         "is stdcall with 4"},
        {"a byte of code changed",
         {},
         [](std::string& image) { image[0x400] = static_cast<char>(image[0x400] ^ 0x01); },
         "wrong PE checksum"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        EXPECT_EQ(LoadedImage::load(copyOfImage(c.editMap, c.editImage), error), nullptr);
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

TEST_F(ImageLoaderTest, AnUnknownImportIsRefusedByName) {
    REQUIRE_KERNEL_BUILD_FILE("wdmusb_missing_import.sys");
    std::string error;
    EXPECT_EQ(LoadedImage::load(kernelBuildFile("wdmusb_missing_import.sys"), error), nullptr);
    EXPECT_NE(error.find("imports ntoskrnl.exe!ExAcquireSpinLockExclusive, which the simulator "
                         "does not provide"),
              std::string::npos)
        << error;
}

#if defined(__i386__)
// A routine the platform calls that was not built stdcall leaves the stack wrong: the gate stops
// the process, naming what it measured.
int notStdcall(PDEVICE_OBJECT, PIRP) {
    return 0;
}

TEST(DriverRoutineCallDeathTest, ARoutineOfAnotherConventionStopsTheProcess) {
    const auto asDispatch = reinterpret_cast<PDRIVER_DISPATCH>(&notStdcall);
    EXPECT_DEATH(sim::callDriverRoutine(asDispatch, nullptr, nullptr),
                 "took 0 bytes of arguments off the stack, not 8");
}
#endif

} // namespace
} // namespace wdmusb::test
