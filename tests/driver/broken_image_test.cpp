// The kernel image made broken on purpose, one instruction at a time: the verifier must catch
// what the broken image does and name the image's routine and offset.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "sim/core/system.h"
#include "sim/image/loaded_image.h"
#include "sim/io/io_manager.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus_driver.h"
#include "tests/sim/image/image_files.h"

namespace wdmusb::test {
namespace {

using sim::image::LoadedImage;

// The offset in `routine` of its call through the import slot of `import` (call dword ptr
// [slot]: FF 15 and the slot's address).
std::optional<std::uint32_t> callOffset(const LoadedImage& image, const std::string& routine,
                                        const std::string& import) {
    const sim::image::Routine* r = image.routine(routine);
    const auto slot = static_cast<std::uint32_t>(image.importSlot(import));
    if (r == nullptr || slot == 0)
        return std::nullopt;
    const auto* code = reinterpret_cast<const std::uint8_t*>(image.loaded(r->address));
    for (std::uint32_t at = 0; at + 6 <= r->size; ++at) {
        if (code[at] == 0xFF && code[at + 1] == 0x15 && std::memcmp(code + at + 2, &slot, 4) == 0)
            return at;
    }
    return std::nullopt;
}

// The image with the call that releases the configuration lock in PublishInterfaceCopy (run by
// every start) replaced by no-operations: KfReleaseSpinLock takes its arguments in registers, so
// the stack stays as it was and the image runs on, holding the lock.
TEST(BrokenImageDeathTest, ASkippedReleaseIsCaughtNamingTheRoutineAndOffset) {
    REQUIRE_KERNEL_BUILD_FILE("wdmusb.sys");
    if (sizeof(void*) != 4)
        GTEST_SKIP() << "kernel images run in the 32-bit build only";
    const std::string path = kernelBuildFile("wdmusb.sys");
    std::string error;
    const auto clean = LoadedImage::load(path, error);
    ASSERT_NE(clean, nullptr) << error;
    const auto offset = callOffset(*clean, "PublishInterfaceCopy", "KfReleaseSpinLock");
    ASSERT_TRUE(offset) << "PublishInterfaceCopy releases its lock through KfReleaseSpinLock";
    sim::image::LoadOptions options;
    options.patches.push_back(
        {"PublishInterfaceCopy", *offset, std::vector<std::uint8_t>(6, 0x90)});
    const auto broken = LoadedImage::load(path, error, options);
    ASSERT_NE(broken, nullptr) << error;

    // In a child process: the lock the broken image keeps would stop every later test.
    EXPECT_EXIT(
        {
            sim::System system;
            sim::usb::BusDriver bus;
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            PDRIVER_OBJECT driver = system.io().loadDriver("wdmusb", broken->entry(), &status);
            sim::DeviceNode& node = system.pnp().plug(bus, driver);
            system.pnp().start(node);
            std::_Exit(system.verifier().empty() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0),
        "dispatch-returned-with-lock-held.*acquired at "
        "wdmusb.sys!PublishInterfaceCopy\\+0x[0-9a-f]+");
}

} // namespace
} // namespace wdmusb::test
