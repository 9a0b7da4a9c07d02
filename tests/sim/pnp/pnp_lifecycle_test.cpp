// The Plug and Play manager's state changes as the bus PDO sees them: rebalance, removal by
// request, surprise removal with work in flight, and a device plugged in again.
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "sim/pnp/filter_driver.h"
#include "sim/sync/dispatcher.h"
#include "tests/sim/pnp/pnp_test_driver.h"
#include "tests/sim/usb/usb_fixture.h"
#include "tests/support/application.h"

namespace wdmusb::test {
namespace {

using Minors = std::vector<UCHAR>;
using sim::DeviceNodeState;

// IOCTL_INTERNAL_USB_GET_PORT_STATUS sent straight to a PDO, as the function driver would.
ULONG portStatus(PDEVICE_OBJECT pdo) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    ULONG word = 0xFFFFFFFF;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, pdo, nullptr, 0,
                                             nullptr, 0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &word;
    if (IofCallDriver(pdo, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return word;
}

// A request to the top of a stack that the test does not wait for; its final status shows up in
// `status` once `done` is set.
struct Unwaited {
    KEVENT done{};
    IO_STATUS_BLOCK status{};
};

std::shared_ptr<Unwaited> sendUnwaited(PDEVICE_OBJECT top, sim::IrpOrigin origin, UCHAR major,
                                       UCHAR minor) {
    sim::IoManager& io = sim::current().io();
    auto result = std::make_shared<Unwaited>();
    KeInitializeEvent(&result->done, NotificationEvent, FALSE);
    PIRP irp = io.allocateIrp(top->StackSize, origin, SimCallSite::current());
    io.setTopCompletion(irp, [result](PIRP finished) {
        result->status = finished->IoStatus;
        KeSetEvent(&result->done, IO_NO_INCREMENT, FALSE);
    });
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (major == IRP_MJ_POWER) {
        next->Parameters.WaitWake.PowerState = PowerSystemSleeping3;
        PoCallDriver(top, irp);
    } else {
        IofCallDriver(top, irp);
    }
    return result;
}

bool signalled(Unwaited& request) {
    return KeReadStateEvent(&request.done) != 0;
}

using PnpLifecycleTest = PnpFlowTest;

// --- rebalance --------------------------------------------------------------------------------

TEST_F(PnpLifecycleTest, RebalanceStopsAndStartsAgainWithoutANewAdd) {
    sim::DeviceNode& node = plugAndStart();
    const sim::StopResult result = pnp().stop(node);
    EXPECT_EQ(result.outcome, sim::StopOutcome::Restarted);
    EXPECT_EQ(result.queryStatus, STATUS_SUCCESS);
    EXPECT_EQ(result.stopStatus, STATUS_SUCCESS);
    EXPECT_EQ(result.startStatus, STATUS_SUCCESS);
    EXPECT_EQ(node.state, DeviceNodeState::Started);
    EXPECT_EQ(seenAtPdo(node), (Minors{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
                                       IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE}));
    EXPECT_EQ(driver_.adds, 1);
    for (NTSTATUS arrived : driver_.arrivedWith)
        EXPECT_EQ(arrived, STATUS_NOT_SUPPORTED) << "each IRP is preset as the platform does";
}

TEST_F(PnpLifecycleTest, ARefusedQueryStopIsCancelledAndTheDeviceStaysStarted) {
    driver_.answers[IRP_MN_QUERY_STOP_DEVICE] = Answer::Fail;
    sim::DeviceNode& node = plugAndStart();
    const sim::StopResult result = pnp().stop(node);
    EXPECT_EQ(result.outcome, sim::StopOutcome::Refused);
    EXPECT_EQ(result.queryStatus, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.cancelStatus, STATUS_SUCCESS);
    EXPECT_EQ(node.state, DeviceNodeState::Started);
    EXPECT_EQ(driver_.minorsAtFdo,
              (Minors{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}));
    EXPECT_EQ(seenAtPdo(node), (Minors{IRP_MN_START_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}))
        << "a refused query need not go down; its cancel must";
}

TEST_F(PnpLifecycleTest, AStartFailingAfterAStopIsFollowedByRemoval) {
    driver_.startsBeforeFailing = 1;
    driver_.failWith = STATUS_DEVICE_DATA_ERROR;
    sim::DeviceNode& node = plugAndStart();
    const PDEVICE_OBJECT fdo = driver_.fdo;
    const sim::StopResult result = pnp().stop(node);
    EXPECT_EQ(result.outcome, sim::StopOutcome::RestartFailed);
    EXPECT_EQ(result.startStatus, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(result.removeStatus, STATUS_SUCCESS);
    EXPECT_EQ(node.startStatus, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(node.state, DeviceNodeState::Removed);
    EXPECT_EQ(seenAtPdo(node),
              (Minors{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                      IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_TRUE(deleted(fdo));
    EXPECT_FALSE(deleted(node.pdo)) << "the device is still on the bus";
}

TEST_F(PnpLifecycleTest, AStopTheDriverFailsEndsTheRebalance) {
    driver_.answers[IRP_MN_STOP_DEVICE] = Answer::Fail;
    sim::DeviceNode& node = plugAndStart();
    const sim::StopResult result = pnp().stop(node);
    EXPECT_EQ(result.outcome, sim::StopOutcome::StopFailed);
    EXPECT_EQ(node.state, DeviceNodeState::Started) << "the driver kept the device";
    EXPECT_EQ(seenAtPdo(node), (Minors{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE}));
}

TEST_F(PnpLifecycleTest, SingleStepsMoveTheNodeAndCancelsGoBack) {
    sim::DeviceNode& node = pnp().plug(bus_, object_);
    EXPECT_EQ(pnp().stop(node).outcome, sim::StopOutcome::NotStarted);
    EXPECT_EQ(pnp().queryStop(node), STATUS_SUCCESS) << "a device never started may be queried";
    EXPECT_EQ(node.state, DeviceNodeState::StopPending);
    EXPECT_EQ(pnp().cancelStop(node), STATUS_SUCCESS);
    EXPECT_EQ(node.state, DeviceNodeState::Added);

    ASSERT_EQ(pnp().start(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp().queryRemove(node), STATUS_SUCCESS);
    EXPECT_EQ(node.state, DeviceNodeState::RemovePending);
    EXPECT_EQ(pnp().cancelRemove(node), STATUS_SUCCESS);
    EXPECT_EQ(node.state, DeviceNodeState::Started);
    EXPECT_EQ(pnp().queryStop(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp().stopDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(node.state, DeviceNodeState::Stopped);
    EXPECT_EQ(pnp().start(node), STATUS_SUCCESS);
    EXPECT_EQ(node.state, DeviceNodeState::Started);
}

// --- removal by request -----------------------------------------------------------------------

TEST_F(PnpLifecycleTest, RemovalByRequestLeavesThePdoForAFreshAdd) {
    sim::DeviceNode& node = plugAndStart();
    const PDEVICE_OBJECT firstFdo = driver_.fdo;
    const sim::RemoveResult result = pnp().remove(node);
    EXPECT_EQ(result.outcome, sim::RemoveOutcome::Removed);
    EXPECT_EQ(result.removeStatus, STATUS_SUCCESS);
    EXPECT_EQ(node.state, DeviceNodeState::Removed);
    EXPECT_EQ(seenAtPdo(node),
              (Minors{IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_TRUE(deleted(firstFdo));
    EXPECT_FALSE(deleted(node.pdo));
    EXPECT_TRUE(pnp().interfaces().enabled(kPnpTestClass).empty());
    EXPECT_EQ(pnp().nodes().size(), 1u) << "the node stays with its PDO";

    sim::DeviceNode& again = pnp().add(object_, node.pdo);
    EXPECT_EQ(&again, &node) << "the PDO's own node, reset";
    EXPECT_EQ(again.state, DeviceNodeState::Added);
    EXPECT_EQ(driver_.adds, 2);
    EXPECT_NE(driver_.fdo, firstFdo);
    EXPECT_EQ(pnp().start(again), STATUS_SUCCESS);
    EXPECT_EQ(pnp().interfaces().enabled(kPnpTestClass).size(), 1u);
}

TEST_F(PnpLifecycleTest, ARefusedQueryRemoveIsCancelled) {
    driver_.answers[IRP_MN_QUERY_REMOVE_DEVICE] = Answer::Fail;
    sim::DeviceNode& node = plugAndStart();
    const sim::RemoveResult result = pnp().remove(node);
    EXPECT_EQ(result.outcome, sim::RemoveOutcome::Refused);
    EXPECT_EQ(result.queryStatus, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(node.state, DeviceNodeState::Started);
    EXPECT_EQ(seenAtPdo(node), (Minors{IRP_MN_START_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
    EXPECT_FALSE(deleted(driver_.fdo));
    driver_.answers.clear(); // let the fixture remove it
}

// --- surprise removal and re-plug -------------------------------------------------------------

TEST_F(PnpLifecycleTest, SurpriseRemovalFailsTransfersInFlightAndDisconnectsThePort) {
    sim::DeviceNode& node = plugAndStart();
    bus_.controller().setMode(sim::usb::CompletionMode::Held);
    std::vector<std::uint8_t> buffer(18);
    UrbOf<_URB_CONTROL_DESCRIPTOR_REQUEST> urb;
    urb->Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    urb->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->TransferBufferLength = static_cast<ULONG>(buffer.size());
    urb->TransferBuffer = buffer.data();
    urb->DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    AsyncUrb inFlight(node.pdo, urb.get());
    ASSERT_EQ(inFlight.send(), STATUS_PENDING);

    EXPECT_EQ(pnp().surpriseRemove(node), STATUS_SUCCESS);
    ASSERT_TRUE(inFlight.completed());
    EXPECT_EQ(inFlight.status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb->Hdr.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(portStatus(node.pdo), 0u) << "neither enabled nor connected";
    node.busDevice->setConnected(true);
    EXPECT_EQ(portStatus(node.pdo), 0u) << "an unplugged device does not come back";
    EXPECT_EQ(seenAtPdo(node), (Minors{IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL}));
    EXPECT_EQ(node.state, DeviceNodeState::SurpriseRemoved);
    EXPECT_EQ(pnp().send(node.pdo, IRP_MN_START_DEVICE), STATUS_NO_SUCH_DEVICE)
        << "a device that left the bus cannot be started";
}

TEST_F(PnpLifecycleTest, SurpriseRemovalThenRemovalDeletesThePdoAndAPlugBringsANewOne) {
    sim::DeviceNode& node = plugAndStart();
    const PDEVICE_OBJECT fdo = driver_.fdo;
    const PDEVICE_OBJECT pdo = node.pdo;
    ASSERT_EQ(pnp().surpriseRemove(node), STATUS_SUCCESS);
    EXPECT_TRUE(system_.io().record(fdo)->surpriseRemoved);
    EXPECT_TRUE(system_.io().record(pdo)->surpriseRemoved);
    EXPECT_FALSE(deleted(pdo)) << "the PDO waits for the removal";

    const sim::RemoveResult removal = pnp().remove(node);
    EXPECT_EQ(removal.outcome, sim::RemoveOutcome::Removed);
    EXPECT_EQ(seenAtPdo(node),
              (Minors{IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}))
        << "no query for a device that is gone";
    EXPECT_FALSE(system_.io().record(fdo)->surpriseRemoved);
    EXPECT_TRUE(deleted(fdo));
    EXPECT_TRUE(deleted(pdo));
    EXPECT_EQ(node.state, DeviceNodeState::Deleted);
    EXPECT_TRUE(pnp().nodes().empty());

    sim::DeviceNode& back = pnp().plug(bus_, object_);
    EXPECT_NE(back.pdo, pdo);
    EXPECT_NE(&back, &node);
    EXPECT_EQ(driver_.adds, 2);
    EXPECT_EQ(pnp().start(back), STATUS_SUCCESS);
    EXPECT_EQ(pnp().interfaces().enabled(kPnpTestClass).size(), 1u);
    EXPECT_EQ(pnp().interfaces().enabled(kPnpTestClass).front().pdo, back.pdo);
}

TEST_F(PnpLifecycleTest, ADeviceThatNeverStartedIsRemovedAtOnceWhenUnplugged) {
    sim::DeviceNode& node = pnp().plug(bus_, object_);
    EXPECT_EQ(pnp().surpriseRemove(node), STATUS_SUCCESS);
    EXPECT_EQ(seenAtPdo(node), (Minors{IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(node.state, DeviceNodeState::Deleted);
    EXPECT_TRUE(deleted(driver_.fdo));
}

TEST_F(PnpLifecycleTest, APdoWithoutFunctionDriverIsDeletedWhenUnplugged) {
    driver_.addResult = STATUS_INSUFFICIENT_RESOURCES;
    sim::DeviceNode& node = pnp().plug(bus_, object_);
    ASSERT_EQ(node.state, DeviceNodeState::AddFailed);
    EXPECT_EQ(pnp().surpriseRemove(node), STATUS_SUCCESS);
    EXPECT_TRUE(seenAtPdo(node).empty());
    EXPECT_TRUE(deleted(node.pdo));
    EXPECT_EQ(pnp().surpriseRemove(node), STATUS_INVALID_DEVICE_STATE) << "gone already";
}

TEST_F(PnpLifecycleTest, TheGonePdoFailsAWaitWakeItHeld) {
    sim::DeviceNode& node = plugAndStart();
    auto wake = sendUnwaited(driver_.fdo, sim::IrpOrigin::Power, IRP_MJ_POWER, IRP_MN_WAIT_WAKE);
    ASSERT_TRUE(node.busDevice->waitWakePending());
    ASSERT_EQ(pnp().surpriseRemove(node), STATUS_SUCCESS);
    ASSERT_TRUE(signalled(*wake));
    EXPECT_EQ(wake->status.Status, STATUS_NO_SUCH_DEVICE);
}

TEST_F(PnpLifecycleTest, EveryFlowEndsUnderForcePending) {
    bus_.controller().setForcePending(true);
    sim::DeviceNode& node = plugAndStart();
    EXPECT_EQ(pnp().stop(node).outcome, sim::StopOutcome::Restarted);
    EXPECT_EQ(pnp().remove(node).outcome, sim::RemoveOutcome::Removed);
    pnp().add(object_, node.pdo);
    ASSERT_EQ(pnp().start(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp().surpriseRemove(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp().removeDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(node.state, DeviceNodeState::Deleted);
}

// --- handles on a removed device --------------------------------------------------------------

// A removal sent whatever is open (the single step) deletes the FDO under an open handle: the
// handle keeps it, gets its cleanup and close there, and nothing else may reach it.
TEST_F(PnpLifecycleTest, AHandleKeepsTheDeletedFdoAndARequestToItIsCaught) {
    sim::DeviceNode& node = plugAndStart();
    const PDEVICE_OBJECT fdo = driver_.fdo;
    AppHandle handle = openDevice(kPnpTestClass);
    ASSERT_TRUE(handle.valid());
    ASSERT_EQ(pnp().removeDevice(node), STATUS_SUCCESS);
    ASSERT_TRUE(deleted(fdo));
    EXPECT_EQ(PnpTestDriver::extensionOf(fdo).lower, node.pdo)
        << "the extension lives while a handle is open";

    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    EXPECT_EQ(IofCallDriver(fdo, irp), STATUS_DELETE_PENDING);
    expectFinding(sim::Rule::RequestToDeletedDevice, "IRP #");
    IoFreeIrp(irp);
    handle.close();
    EXPECT_EQ(driver_.minorsAtFdo.back(), IRP_MN_REMOVE_DEVICE) << "nothing more was sent";
}

TEST_F(PnpLifecycleTest, ARemovalByRequestIsVetoedWhileAHandleIsOpen) {
    sim::DeviceNode& node = plugAndStart();
    AppHandle handle = openDevice(kPnpTestClass);
    ASSERT_TRUE(handle.valid());
    const std::size_t minorsBefore = driver_.minorsAtFdo.size();
    EXPECT_EQ(pnp().remove(node).outcome, sim::RemoveOutcome::Vetoed);
    EXPECT_EQ(driver_.minorsAtFdo.size(), minorsBefore) << "nothing sent";
    EXPECT_EQ(node.state, DeviceNodeState::Started);
    handle.close();
    EXPECT_EQ(pnp().remove(node).outcome, sim::RemoveOutcome::Removed);
}

// After a surprise removal the removal waits for the last handle; its close sends it.
TEST_F(PnpLifecycleTest, AfterASurpriseRemovalTheLastCloseSendsTheRemoval) {
    sim::DeviceNode& node = plugAndStart();
    AppHandle first = openDevice(kPnpTestClass);
    AppHandle second = openDevice(kPnpTestClass);
    ASSERT_TRUE(first.valid() && second.valid());
    ASSERT_EQ(pnp().surpriseRemove(node), STATUS_SUCCESS);
    EXPECT_EQ(pnp().remove(node).outcome, sim::RemoveOutcome::Deferred);
    EXPECT_EQ(pnp().removeDevice(node), STATUS_PENDING);
    first.close();
    EXPECT_EQ(node.state, DeviceNodeState::SurpriseRemoved);
    EXPECT_EQ(driver_.minorsAtFdo.back(), IRP_MN_SURPRISE_REMOVAL);
    second.close();
    EXPECT_EQ(driver_.minorsAtFdo.back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(node.state, DeviceNodeState::Deleted);
}

// A handle closed while the surprise removal is on its way down (the unplug ended its last
// request, say) finds the node surprise-removed already: its close sends the removal, once the
// surprise removal has been through the stack. An upper filter holds the surprise removal while
// another thread closes the handle.
TEST_F(PnpLifecycleTest, AHandleClosedWhileTheSurpriseRemovalIsOnItsWaySendsTheRemoval) {
    sim::FilterDriver upper("upperfilter");
    pnp().setFilters({}, {upper.driverObject()});
    sim::DeviceNode& node = plugAndStart();
    AppHandle handle = openDevice(kPnpTestClass);
    ASSERT_TRUE(handle.valid());
    std::promise<void> closed;
    std::thread closer;
    upper.onPnp(IRP_MN_SURPRISE_REMOVAL, [&] {
        closer = std::thread([&] {
            handle.close();
            closed.set_value();
        });
        // The close ends here unless its removal waits for this surprise removal to be through.
        closed.get_future().wait_for(std::chrono::milliseconds(200));
    });
    ASSERT_EQ(pnp().surpriseRemove(node), STATUS_SUCCESS);
    closer.join();
    EXPECT_EQ(node.state, DeviceNodeState::Deleted);
    EXPECT_EQ(driver_.minorsAtFdo.back(), IRP_MN_REMOVE_DEVICE);
    pnp().setFilters({}, {});
}

} // namespace
} // namespace wdmusb::test
