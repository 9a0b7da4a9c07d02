// Removal, surprise removal, and the Plug and Play edge cases around them: work in flight when
// the device goes, a device that never started, handles holding interface copies, refused and
// failed stops, and what the capability query passes up.
#include <gtest/gtest.h>

#include <initializer_list>

#include "io/cancel_transfers.h"
#include "tests/driver/chunked_transfer.h"
#include "tests/driver/driver_on_bus.h"
#include "usb/pipe_marker.h"

namespace wdmusb::test {
namespace {

constexpr UCHAR kIn = LoopbackDevice::kInEndpoint;

class RemovalTest : public DriverOnBusTest {
protected:
    // What an open handle does to the pipes it holds, done by hand until handles exist.
    static void bind(PDEVICE_EXTENSION ext, std::initializer_list<ULONG> pipes) {
        for (ULONG i : pipes) {
            ASSERT_TRUE(TryBindPipe(&ext->InterfaceInformation->Pipes[i]));
            InterlockedIncrement(&ext->OpenPipeCount);
        }
    }
    // What the close of such a handle does with the copy its pipes are in: unbind them and, once
    // the copy is no longer the extension's InterfaceInformation, free it.
    static void closeHandle(PDEVICE_EXTENSION ext, PUSBD_INTERFACE_INFORMATION copy) {
        for (ULONG i = 0; i < 2; ++i)
            if (TryUnbindPipe(&copy->Pipes[i]))
                InterlockedDecrement(&ext->OpenPipeCount);
        if (ext->InterfaceInformation != copy)
            ExFreePool(copy);
    }
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
    void queueInData(sim::DeviceNode& node, std::size_t bytes) {
        node.busDevice->modelAs<LoopbackDevice>().queueData(std::vector<std::uint8_t>(bytes, 0x5A));
    }
};

// The chunks are cancelled and their completions (here on threads of their own, later) finish the
// read with the bytes moved so far; the removal waits for them through the outstanding-request
// count, and the last of them to give back its reference sets RemoveEvent; only then is the FDO
// deleted.
TEST_F(RemovalTest, RemovalWithAReadInFlightWaitsForItsChunksThroughTheCount) {
    sim::DeviceNode& node = plugAndStart();
    PDEVICE_OBJECT fdo = fdoOf(node);
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    bus_.controller().setMode(kIn, CompletionMode::Held);
    queueInData(node, ChunkedTransfer::kChunkBytes);

    // The completion that ends the transfer keeps its reference until removal has given back
    // AddDevice's: it is then the last one.
    const auto waitForRemovalToRelease = [ext] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ReadShared(ext->OutstandingIoCount) > 1 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    ChunkedTransfer read(
        fdo, {.chunks = 4, .finishLater = true, .beforeLastRelease = waitForRemovalToRelease});
    ASSERT_EQ(read.start(), STATUS_PENDING);
    ASSERT_TRUE(bus_.controller().waitForInFlight(4, kIn));
    ASSERT_EQ(bus_.controller().releaseHeld(kIn, 1), 1u);
    read.waitChunksFinished(1);

    const sim::RemoveResult removal = system_.pnp().remove(node);
    EXPECT_EQ(removal.outcome, sim::RemoveOutcome::Removed);
    EXPECT_EQ(removal.removeStatus, STATUS_SUCCESS);
    ASSERT_TRUE(read.done());
    EXPECT_EQ(read.result().Status, STATUS_SUCCESS);
    EXPECT_EQ(read.result().Information, ChunkedTransfer::kChunkBytes);
    read.waitChunksFinished(); // the last one notes what its release left after RemoveEvent is set
    EXPECT_EQ(read.lastRelease(), 0) << "the last chunk, not the removal, set RemoveEvent";
    EXPECT_EQ(fdoOf(node), nullptr);
    EXPECT_EQ(driverBlocks(), 0u);
    EXPECT_FALSE(interfaceEnabled());
}

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
// unbound, and the removal does not abort again.
TEST_F(RemovalTest, SurpriseRemovalThenCloseThenRemovalAbortsThePipesOnce) {
    sim::DeviceNode& node = plugAndStart();
    PDEVICE_OBJECT fdo = fdoOf(node);
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    bind(ext, {0, 1});
    system_.io().referenceDevice(fdo); // the handle

    EXPECT_EQ(system_.pnp().surpriseRemove(node), STATUS_SUCCESS);
    EXPECT_TRUE(ext->Removed);
    EXPECT_FALSE(IsAcceptingRequests(fdo));
    EXPECT_EQ(sent(URB_FUNCTION_ABORT_PIPE).size(), 2u);
    EXPECT_EQ(ext->OpenPipeCount, 0);

    closeHandle(ext, ext->InterfaceInformation); // finds nothing bound, frees nothing
    EXPECT_EQ(ext->OpenPipeCount, 0);
    system_.io().dereferenceDevice(fdo);

    EXPECT_EQ(system_.pnp().removeDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(sent(URB_FUNCTION_ABORT_PIPE).size(), 2u) << "no second abort";
    EXPECT_EQ(node.state, sim::DeviceNodeState::Deleted);
    EXPECT_EQ(driverBlocks(), 0u);
}

// A restart that fails leaves the device unconfigured, so the removal that follows cannot abort
// the pipes of a handle opened before the stop (their handles are stale): the copy holding them
// becomes the handle's, and its close frees it. Freed by removal as well, it would be freed twice.
TEST_F(RemovalTest, AHandleOutlivingAFailedRestartGetsItsInterfaceCopyAtRemoval) {
    sim::DeviceNode& node = plugAndStart();
    PDEVICE_OBJECT fdo = fdoOf(node);
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    const PUSBD_INTERFACE_INFORMATION copy = ext->InterfaceInformation;
    bind(ext, {0, 1});
    system_.io().referenceDevice(fdo);
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

    closeHandle(ext, copy);
    EXPECT_EQ(ext->OpenPipeCount, 0);
    system_.io().dereferenceDevice(fdo);
    EXPECT_EQ(driverBlocks(), 0u);
}

// A copy that a restart handed to a handle opened before the stop is the handle's: removal frees
// the current copy only.
TEST_F(RemovalTest, RemovalFreesTheCurrentInterfaceCopyAndLeavesAHandlesEarlierOne) {
    sim::DeviceNode& node = plugAndStart();
    PDEVICE_OBJECT fdo = fdoOf(node);
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    const PUSBD_INTERFACE_INFORMATION earlier = ext->InterfaceInformation;
    bind(ext, {0, 1});
    system_.io().referenceDevice(fdo);
    ASSERT_EQ(system_.pnp().stop(node).outcome, sim::StopOutcome::Restarted);
    const PUSBD_INTERFACE_INFORMATION current = ext->InterfaceInformation;
    ASSERT_NE(current, earlier);

    // A removal by request is vetoed while the handle is open: the single steps send it anyway.
    ASSERT_EQ(system_.pnp().queryRemove(node), STATUS_SUCCESS);
    ASSERT_EQ(system_.pnp().removeDevice(node), STATUS_SUCCESS);
    EXPECT_FALSE(livePoolBlock(current));
    ASSERT_TRUE(livePoolBlock(earlier));
    EXPECT_EQ(driverBlocks(), 1u);

    closeHandle(ext, earlier);
    system_.io().dereferenceDevice(fdo);
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
    bus_.controller().setMode(kIn, CompletionMode::Held);
    ChunkedTransfer read(fdo, {.chunks = 2});
    ASSERT_EQ(read.start(), STATUS_PENDING);

    const sim::StopResult rebalance = system_.pnp().stop(node);
    EXPECT_EQ(rebalance.outcome, sim::StopOutcome::Refused);
    EXPECT_EQ(rebalance.queryStatus, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rebalance.cancelStatus, STATUS_SUCCESS);
    EXPECT_EQ(seen(node, IRP_MN_QUERY_STOP_DEVICE), 0u);
    EXPECT_TRUE(IsAcceptingRequests(fdo));

    queueInData(node, read.bytes());
    bus_.controller().releaseHeld(kIn);
    ASSERT_TRUE(read.waitDone());
    read.waitChunksFinished();
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
