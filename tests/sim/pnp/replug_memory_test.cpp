// A machine that plugs and removes devices in a loop holds a bounded number of records: deleted
// device objects leave the I/O manager's quarantine, and the bus, the Plug and Play manager and
// the interface registry forget what belonged to them. Recent ones are still named.
#include <memory>

#include "sim/usb/loopback_device.h"
#include "tests/sim/pnp/pnp_test_driver.h"

namespace wdmusb::test {
namespace {

using ReplugMemoryTest = PnpFlowTest;
constexpr std::size_t kKept = sim::IoManager::kQuarantinedDevices;

TEST_F(ReplugMemoryTest, UnplugAndPlugInALoopKeepsTheRecordsBounded) {
    auto model = std::make_shared<sim::usb::LoopbackDevice>(4096); // one model, plugged each time
    PDEVICE_OBJECT fdo = nullptr;
    for (std::size_t i = 0; i < kKept; ++i) { // two deletions each: half of them are forgotten
        sim::DeviceNode& node = pnp().plug(bus_, object_, model);
        ASSERT_EQ(pnp().start(node), STATUS_SUCCESS);
        ASSERT_EQ(model->host(), node.busDevice) << "a forgotten device let go of the model";
        fdo = driver_.fdo;
        ASSERT_EQ(pnp().surpriseRemove(node), STATUS_SUCCESS);
        ASSERT_EQ(pnp().removeDevice(node), STATUS_SUCCESS);
    }
    EXPECT_EQ(system_.io().deviceRecordCount(), kKept);
    EXPECT_EQ(bus_.devices().size(), kKept / 2);
    EXPECT_EQ(pnp().nodeCount(), kKept / 2);
    EXPECT_EQ(pnp().interfaces().size(), kKept); // an interface and an instance path per device
    EXPECT_TRUE(deleted(fdo)) << "the latest deleted device is still known";
    EXPECT_NE(system_.io().describeDevice(fdo).find("created at"), std::string::npos);
}

TEST_F(ReplugMemoryTest, RemoveAndAddOnOnePdoKeepsOneNode) {
    sim::DeviceNode& node = plugAndStart();
    for (std::size_t i = 0; i < kKept + 8; ++i) {
        ASSERT_EQ(pnp().remove(node).outcome, sim::RemoveOutcome::Removed);
        pnp().add(object_, node.pdo);
        ASSERT_EQ(pnp().start(node), STATUS_SUCCESS);
    }
    EXPECT_EQ(system_.io().deviceRecordCount(), kKept + 2); // the quarantine, the PDO, the FDO
    EXPECT_EQ(pnp().nodeCount(), 1u);
}

} // namespace
} // namespace wdmusb::test
