// Filters in a device's stack: the Plug and Play manager builds it from the PDO up, lower filters
// below the function driver and upper ones above it, lets the filters already added go when a
// later AddDevice fails, and the filters take their own part in the removal.
#include "sim/pnp/filter_driver.h"
#include "tests/sim/pnp/pnp_test_driver.h"
#include "tests/support/application.h"

namespace wdmusb::test {
namespace {

class FilterStackTest : public PnpFlowTest {
protected:
    void TearDown() override {
        pnp().setFilters({}, {});
        PnpFlowTest::TearDown(); // removes what is left, the filters' devices with it
    }
    // The devices of a stack from the PDO up, by their drivers.
    static std::vector<PDRIVER_OBJECT> driversFromThePdoUp(PDEVICE_OBJECT pdo) {
        std::vector<PDRIVER_OBJECT> drivers;
        for (PDEVICE_OBJECT d = pdo->AttachedDevice; d != nullptr; d = d->AttachedDevice)
            drivers.push_back(d->DriverObject);
        return drivers;
    }
    sim::FilterDriver lower_{"lowerfilter"};
    sim::FilterDriver upper_{"upperfilter"};
};

TEST_F(FilterStackTest, TheStackIsBuiltFromThePdoUpAndTheRemovalTakesItAllDown) {
    pnp().setFilters({lower_.driverObject()}, {upper_.driverObject()});
    sim::DeviceNode& node = plugAndStart();
    EXPECT_EQ(driversFromThePdoUp(node.pdo),
              (std::vector{lower_.driverObject(), object_, upper_.driverObject()}));
    EXPECT_EQ(PnpTestDriver::extensionOf(driver_.fdo).lower, node.pdo->AttachedDevice)
        << "the function driver sits on the lower filter";
    EXPECT_EQ(system_.io().topOfStack(node.pdo)->StackSize, 4);
    EXPECT_EQ(lower_.passed(IRP_MJ_PNP), 1u) << "the start";
    EXPECT_EQ(upper_.passed(IRP_MJ_PNP), 1u);

    EXPECT_EQ(pnp().remove(node).outcome, sim::RemoveOutcome::Removed);
    EXPECT_EQ(system_.io().topOfStack(node.pdo), node.pdo);
    EXPECT_EQ(lower_.driverObject()->DeviceObject, nullptr);
    EXPECT_EQ(upper_.driverObject()->DeviceObject, nullptr);
}

// The platform fails the device, and sends the removal to what its stack holds so far.
TEST_F(FilterStackTest, AFailedAddDeviceLetsTheFiltersAlreadyAddedGo) {
    pnp().setFilters({lower_.driverObject()}, {upper_.driverObject()});
    driver_.addResult = STATUS_INSUFFICIENT_RESOURCES;
    sim::DeviceNode& node = pnp().plug(bus_, object_);
    EXPECT_EQ(node.addStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(node.state, sim::DeviceNodeState::AddFailed);
    EXPECT_EQ(system_.io().topOfStack(node.pdo), node.pdo);
    EXPECT_EQ(lower_.driverObject()->DeviceObject, nullptr);
    EXPECT_EQ(lower_.passed(IRP_MJ_PNP), 1u) << "the removal";
    EXPECT_EQ(upper_.passed(IRP_MJ_PNP), 0u) << "never added";
    EXPECT_EQ(seenAtPdo(node), std::vector<UCHAR>{IRP_MN_REMOVE_DEVICE});
}

// A removal sent under an open handle (the single step) deletes the function driver's device; the
// upper filter the handle was opened on stays attached to it until the handle's close, which it
// passes down as the function driver gets it without a filter.
TEST_F(FilterStackTest, AnUpperFilterRemovedUnderAnOpenHandleLeavesAtItsClose) {
    pnp().setFilters({}, {upper_.driverObject()});
    sim::DeviceNode& node = plugAndStart();
    AppHandle handle = openDevice(kPnpTestClass);
    ASSERT_TRUE(handle.valid());
    ASSERT_EQ(pnp().removeDevice(node), STATUS_SUCCESS);
    ASSERT_TRUE(deleted(driver_.fdo));
    EXPECT_NE(upper_.driverObject()->DeviceObject, nullptr);
    const std::uint64_t closesBefore = upper_.passed(IRP_MJ_CLOSE);
    handle.close();
    EXPECT_EQ(upper_.passed(IRP_MJ_CLOSE), closesBefore + 1);
    EXPECT_EQ(upper_.driverObject()->DeviceObject, nullptr);
}

} // namespace
} // namespace wdmusb::test
