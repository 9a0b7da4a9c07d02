// Removal, surprise removal, and the Plug and Play edge cases around them: a device that never
// started, handles holding interface copies, refused and failed stops, and what the capability
// query passes up. Requests in flight at removal: client_lifecycle_test.cpp.
#include <gtest/gtest.h>

#include "io/cancel_transfers.h"
#include "tests/driver/client_fixture.h"
#include "usb/pipe_marker.h"

namespace wdmusb::test {
namespace {

class RemovalTest : public DriverOnBusTest {
protected:
    bool livePoolBlock(const void* address) {
        return system_.pool().blockContaining(address).has_value();
    }
    std::size_t seen(const sim::DeviceNode& node, UCHAR minor) {
        const auto minors = node.busDevice->pnpMinorsSeen();
        return static_cast<std::size_t>(std::count(minors.begin(), minors.end(), minor));
    }
    bool interfaceEnabled() {
        return !system_.pnp().interfaces().enabled(GUID_DEVINTERFACE_WDMUSB).empty();
    }
};

TEST_F(RemovalTest, RemovalOfADeviceThatNeverStartedDisablesTheInterfaceAndDeletesTheFdo) {
    sim::DeviceNode& node = plug();
    recorder_.clear();
    const sim::RemoveResult removal = system_.pnp().remove(node);
    EXPECT_EQ(removal.outcome, sim::RemoveOutcome::Removed);
    EXPECT_EQ(removal.queryStatus, STATUS_SUCCESS);
    EXPECT_EQ(removal.removeStatus, STATUS_SUCCESS);
    EXPECT_TRUE(recorder_.records().empty()) << "nothing to abort, nothing to unconfigure";
    EXPECT_EQ(seen(node, IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_EQ(fdoOf(node), nullptr);
    EXPECT_FALSE(interfaceEnabled());
    EXPECT_EQ(driverBlocks(), 0u);
}

// Surprise removal aborts the pipes of the open handle; the handle's close then finds them
// unbound, and sends the removal, which does not abort again.
TEST_F(RemovalTest, SurpriseRemovalThenCloseThenRemovalAbortsThePipesOnce) {
    sim::DeviceNode& node = plugAndStart();
    PDEVICE_OBJECT fdo = fdoOf(node);
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    AppHandle handle = openDevice(GUID_DEVINTERFACE_WDMUSB);
    ASSERT_TRUE(handle.valid());

    EXPECT_EQ(system_.pnp().surpriseRemove(node), STATUS_SUCCESS);
    EXPECT_TRUE(ext->Removed);
    EXPECT_FALSE(IsAcceptingRequests(fdo));
    EXPECT_EQ(sent(URB_FUNCTION_ABORT_PIPE).size(), 2u);
    EXPECT_EQ(ext->OpenPipeCount, 0);

    handle.close(); // finds nothing bound; the removal follows
    EXPECT_EQ(sent(URB_FUNCTION_ABORT_PIPE).size(), 2u) << "no second abort";
    EXPECT_EQ(node.state, sim::DeviceNodeState::Deleted);
    EXPECT_EQ(driverBlocks(), 0u);
}

// A restart that fails leaves the device unconfigured, and the removal that follows cannot abort
// the pipes of a handle opened before the stop (their handles are stale): the handle keeps its
// interface copy past the FDO's deletion, and its close frees it.
TEST_F(RemovalTest, AHandleOutlivingAFailedRestartKeepsItsInterfaceCopyUntilItsClose) {
    sim::DeviceNode& node = plugAndStart();
    PDEVICE_OBJECT fdo = fdoOf(node);
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    const PUSBD_INTERFACE_INFORMATION copy = ext->InterfaceInformation;
    AppHandle handle = openDevice(GUID_DEVINTERFACE_WDMUSB);
    ASSERT_TRUE(handle.valid());
    node.busDevice->faults().add(UrbFault::on(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
                                     .failWith(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));

    const sim::StopResult rebalance = system_.pnp().stop(node);
    ASSERT_EQ(rebalance.outcome, sim::StopOutcome::RestartFailed);
    EXPECT_EQ(rebalance.removeStatus, STATUS_SUCCESS);
    EXPECT_EQ(fdoOf(node), nullptr);
    ASSERT_TRUE(livePoolBlock(copy)) << "the handle still refers to its copy";
    EXPECT_TRUE(IsPipeBound(&copy->Pipes[0]));
    EXPECT_EQ(ext->InterfaceInformation, nullptr);
    EXPECT_EQ(driverBlocks(), 1u);

    handle.close(); // the FDO's memory goes with it
    EXPECT_EQ(driverBlocks(), 0u);
}

// Removal lets go of the current interface copy; a handle opened before a rebalance keeps the
// earlier one until it is closed.
TEST_F(RemovalTest, RemovalFreesTheCurrentInterfaceCopyAndLeavesAHandlesEarlierOne) {
    sim::DeviceNode& node = plugAndStart();
    PDEVICE_EXTENSION ext = extOf(node);
    const PUSBD_INTERFACE_INFORMATION earlier = ext->InterfaceInformation;
    AppHandle handle = openDevice(GUID_DEVINTERFACE_WDMUSB);
    ASSERT_TRUE(handle.valid());
    ASSERT_EQ(system_.pnp().stop(node).outcome, sim::StopOutcome::Restarted);
    const PUSBD_INTERFACE_INFORMATION current = ext->InterfaceInformation;
    ASSERT_NE(current, earlier);

    // A removal by request is vetoed while the handle is open: the single steps send it anyway.
    EXPECT_EQ(system_.pnp().remove(node).outcome, sim::RemoveOutcome::Vetoed);
    ASSERT_EQ(system_.pnp().queryRemove(node), STATUS_SUCCESS);
    ASSERT_EQ(system_.pnp().removeDevice(node), STATUS_SUCCESS);
    EXPECT_FALSE(livePoolBlock(current));
    ASSERT_TRUE(livePoolBlock(earlier));
    EXPECT_EQ(driverBlocks(), 1u);

    handle.close();
    EXPECT_EQ(driverBlocks(), 0u);
}

TEST_F(RemovalTest, QueryStopWhileIdleThenCancelStopReopensTheGate) {
    sim::DeviceNode& node = plugAndStart();
    PDEVICE_OBJECT fdo = fdoOf(node);
    ASSERT_EQ(system_.pnp().queryStop(node), STATUS_SUCCESS);
    EXPECT_TRUE(extOf(node)->StopPending);
    EXPECT_FALSE(IsAcceptingRequests(fdo));
    ASSERT_EQ(system_.pnp().cancelStop(node), STATUS_SUCCESS);
    EXPECT_FALSE(extOf(node)->StopPending);
    EXPECT_TRUE(IsAcceptingRequests(fdo));
}

// Query-stop is refused while chunks are in flight: no flag changes, the request does not go down,
// and the cancel-stop that follows finds the device as it was.
TEST_F(RemovalTest, QueryStopWithChunksInFlightIsRefused) {
    sim::DeviceNode& node = plugAndStart();
    PDEVICE_OBJECT fdo = fdoOf(node);
    AppHandle handle = openDevice(GUID_DEVINTERFACE_WDMUSB, FILE_FLAG_OVERLAPPED);
    bus_.controller().setMode(kIn, CompletionMode::Held);
    std::vector<std::uint8_t> buffer(2 * 4096);
    OVERLAPPED overlapped{};
    EXPECT_FALSE(ReadFile(handle.get(), buffer.data(), 2 * 4096, nullptr, &overlapped));
    ASSERT_TRUE(bus_.controller().waitForInFlight(2, kIn));

    const sim::StopResult rebalance = system_.pnp().stop(node);
    EXPECT_EQ(rebalance.outcome, sim::StopOutcome::Refused);
    EXPECT_EQ(rebalance.queryStatus, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rebalance.cancelStatus, STATUS_SUCCESS);
    EXPECT_EQ(seen(node, IRP_MN_QUERY_STOP_DEVICE), 0u);
    EXPECT_TRUE(IsAcceptingRequests(fdo));

    node.busDevice->modelAs<LoopbackDevice>().queueData(buffer);
    bus_.controller().releaseHeld(kIn);
    DWORD moved = 0;
    EXPECT_TRUE(GetOverlappedResult(handle.get(), &overlapped, &moved, TRUE));
    bus_.controller().waitIdle();
    EXPECT_EQ(system_.pnp().stop(node).outcome, sim::StopOutcome::Restarted);
}

// A stop whose unconfigure fails keeps the device (Started, StopPending cleared) and is completed
// with that status without going down.
TEST_F(RemovalTest, AStopWhoseUnconfigureFailsKeepsTheDeviceAndStaysAboveThePdo) {
    sim::DeviceNode& node = plugAndStart();
    node.busDevice->faults().add(UrbFault::on(URB_FUNCTION_SELECT_CONFIGURATION)
                                     .failWith(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
    const sim::StopResult rebalance = system_.pnp().stop(node);
    EXPECT_EQ(rebalance.outcome, sim::StopOutcome::StopFailed);
    EXPECT_EQ(rebalance.stopStatus, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(seen(node, IRP_MN_STOP_DEVICE), 0u);
    EXPECT_TRUE(extOf(node)->Started);
    EXPECT_FALSE(extOf(node)->StopPending);
    EXPECT_TRUE(IsAcceptingRequests(fdoOf(node)));
}

// A start the bus driver fails is not made a success by descriptor reads: the device is not
// configured and the start fails with the bus driver's status.
TEST_F(RemovalTest, AStartTheBusDriverFailsFailsWithItsStatusAndReadsNothing) {
    sim::DeviceNode& node = plug();
    node.busDevice->unplug();
    EXPECT_EQ(system_.pnp().start(node), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(sent(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).empty());
    EXPECT_FALSE(extOf(node)->Started);
}

// The record passed up says the device may be surprise-removed, whatever the bus driver reported,
// and keeps everything else the bus driver filled; also when the bus driver pends the query.
TEST_F(RemovalTest, QueryCapabilitiesPassesUpSurpriseRemovalOk) {
    for (const bool pended : {false, true}) {
        SCOPED_TRACE(pended ? "pended by the bus driver" : "answered at once");
        sim::DeviceNode& node = plugAndStart();
        DEVICE_CAPABILITIES reported = sim::usb::BusDevice::defaultCapabilities(1);
        reported.SurpriseRemovalOK = 0;
        reported.DeviceWake = PowerDeviceD2;
        node.busDevice->setCapabilities(reported);
        bus_.controller().setForcePending(pended);

        DEVICE_CAPABILITIES record = sim::usb::BusDevice::recordToQuery();
        const NTSTATUS status =
            system_.pnp().send(node.pdo, IRP_MN_QUERY_CAPABILITIES, [&](IO_STACK_LOCATION& s) {
                s.Parameters.DeviceCapabilities.Capabilities = &record;
            });
        bus_.controller().setForcePending(false);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(record.SurpriseRemovalOK, 1u);
        EXPECT_EQ(record.DeviceWake, PowerDeviceD2);
        EXPECT_TRUE(extOf(node)->Started) << "no state change";
    }
}

} // namespace
} // namespace wdmusb::test
