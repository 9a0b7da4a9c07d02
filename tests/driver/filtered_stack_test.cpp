// The driver in a stack with a lower filter between its FDO and the PDO and an upper filter above
// it: its requests go to the device it attached to, its power requests to the PDO's stack, and an
// application's requests reach it through the upper filter. (The suites run once more with both
// filters in place: tests/CMakeLists.txt.)
#include "sim/power/power_manager.h"
#include "tests/driver/client_fixture.h"

namespace wdmusb::test {
namespace {

class FilteredStackTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        system_.pnp().setFilters({lower_.driverObject()}, {upper_.driverObject()});
    }
    void TearDown() override {
        ClientTest::TearDown(); // removes the devices, the filters' with them
    }
    // Declared after the fixture's own members: unloaded only once every device is removed.
    sim::FilterDriver lower_{"lowerfilter"};
    sim::FilterDriver upper_{"upperfilter"};
};

TEST_F(FilteredStackTest, TheDriverWorksBetweenALowerAndAnUpperFilter) {
    startAndOpen();
    const PDEVICE_OBJECT lowerDevice = node_->pdo->AttachedDevice;
    ASSERT_EQ(lowerDevice->DriverObject, lower_.driverObject());
    EXPECT_EQ(ext()->LowerDeviceObject, lowerDevice);
    EXPECT_EQ(ext()->PhysicalDeviceObject, node_->pdo);
    EXPECT_EQ(upper_.passed(IRP_MJ_CREATE), 1u) << "the application opens the top of the stack";
    EXPECT_NE(fdo()->AttachedDevice->Flags & DO_DIRECT_IO, 0u) << "taken from the FDO";

    const std::uint64_t below = lower_.passed(IRP_MJ_INTERNAL_DEVICE_CONTROL);
    std::vector<std::uint8_t> out(3 * 4096 + 100), in(out.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::uint8_t>(i * 3);
    EXPECT_EQ(write(out.data(), static_cast<DWORD>(out.size())).bytes, out.size());
    EXPECT_EQ(read(in.data(), static_cast<DWORD>(in.size())).bytes, in.size());
    EXPECT_EQ(in, out);
    EXPECT_EQ(lower_.passed(IRP_MJ_INTERNAL_DEVICE_CONTROL), below + 8) << "every chunk";
    EXPECT_EQ(upper_.passed(IRP_MJ_READ), 1u);

    // The close's power-down is requested for the PDO and comes down the whole stack.
    const std::uint64_t powerAbove = upper_.passed(IRP_MJ_POWER);
    const std::uint64_t powerBelow = lower_.passed(IRP_MJ_POWER);
    handle_.close();
    system_.power().waitIdle();
    EXPECT_EQ(node_->busDevice->devicePowerState(), PowerDeviceD2);
    EXPECT_EQ(upper_.passed(IRP_MJ_POWER), powerAbove + 1);
    EXPECT_EQ(lower_.passed(IRP_MJ_POWER), powerBelow + 1);
    EXPECT_EQ(system_.pnp().stop(*node_).outcome, sim::StopOutcome::Restarted);
}

} // namespace
} // namespace wdmusb::test
