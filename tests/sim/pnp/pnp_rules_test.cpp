// The verifier's Plug and Play rules, each broken on purpose by the little function driver:
// requests that must succeed failed, requests completed without going down, detach or delete
// during surprise removal, a device deleted with IRPs still in it, an interface left enabled.
#include <algorithm>
#include <memory>
#include <thread>

#include "tests/sim/pnp/pnp_test_driver.h"
#include "tests/support/test_driver.h"

namespace wdmusb::test {
namespace {

using sim::Rule;

const char* nameOf(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE:
        return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE:
        return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_STOP_DEVICE:
        return "IRP_MN_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE:
        return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE:
        return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_SURPRISE_REMOVAL:
        return "IRP_MN_SURPRISE_REMOVAL";
    default:
        return "?";
    }
}

std::string minorParamName(const ::testing::TestParamInfo<UCHAR>& info) {
    std::string name = nameOf(info.param) + std::string("IRP_MN_").size();
    std::erase(name, '_');
    return name;
}

class PnpRulesTest : public PnpFlowTest {
protected:
    // Brings a started node to the point where `minor` is the manager's next IRP, and sends it.
    NTSTATUS drive(sim::DeviceNode& node, UCHAR minor) {
        switch (minor) {
        case IRP_MN_START_DEVICE:
            return pnp().start(node);
        case IRP_MN_QUERY_STOP_DEVICE:
            return pnp().queryStop(node);
        case IRP_MN_STOP_DEVICE:
            pnp().queryStop(node);
            return pnp().stopDevice(node);
        case IRP_MN_CANCEL_STOP_DEVICE:
            pnp().queryStop(node);
            return pnp().cancelStop(node);
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return pnp().queryRemove(node);
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            pnp().queryRemove(node);
            return pnp().cancelRemove(node);
        case IRP_MN_REMOVE_DEVICE:
            return pnp().removeDevice(node);
        case IRP_MN_SURPRISE_REMOVAL:
            return pnp().surpriseRemove(node);
        default:
            return STATUS_INVALID_PARAMETER;
        }
    }

    // The finding names the request, the stack's PDO and the IRP.
    void expectNamed(Rule rule, UCHAR minor) {
        for (const sim::Finding& f : expectFinding(rule, nameOf(minor))) {
            EXPECT_NE(f.message.find("USBPDO-1"), std::string::npos) << f.message;
            EXPECT_NE(f.message.find("IRP #"), std::string::npos) << f.message;
        }
    }
};

// --- requests that may not fail ----------------------------------------------------------------

class MustSucceedTest : public PnpRulesTest, public ::testing::WithParamInterface<UCHAR> {};

TEST_P(MustSucceedTest, FailingItAfterItWentDownIsAFinding) {
    sim::DeviceNode& node = plugAndStart();
    driver_.answers[GetParam()] = Answer::PassDownThenFail;
    EXPECT_EQ(drive(node, GetParam()), STATUS_UNSUCCESSFUL);
    expectNamed(Rule::PnpIrpFailedWhenMustSucceed, GetParam());
    EXPECT_TRUE(system_.verifier().take(Rule::PnpIrpCompletedNotForwarded).empty())
        << "it did reach the PDO";
    driver_.answers.clear();
}

TEST_P(MustSucceedTest, FailingItWithoutPassingItDownIsTwoFindings) {
    sim::DeviceNode& node = plugAndStart();
    driver_.answers[GetParam()] = Answer::Fail;
    EXPECT_EQ(drive(node, GetParam()), STATUS_UNSUCCESSFUL);
    expectNamed(Rule::PnpIrpFailedWhenMustSucceed, GetParam());
    expectNamed(Rule::PnpIrpCompletedNotForwarded, GetParam());
    driver_.answers.clear();
}

INSTANTIATE_TEST_SUITE_P(Pnp, MustSucceedTest,
                         ::testing::Values(IRP_MN_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL,
                                           IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE),
                         minorParamName);

// --- requests that must go down ---------------------------------------------------------------

class MustGoDownTest : public PnpRulesTest, public ::testing::WithParamInterface<UCHAR> {};

TEST_P(MustGoDownTest, SuccessWithoutPassingItDownIsAFinding) {
    const UCHAR minor = GetParam();
    sim::DeviceNode& node = pnp().plug(bus_, object_);
    if (minor != IRP_MN_START_DEVICE) {
        ASSERT_EQ(pnp().start(node), STATUS_SUCCESS);
    }
    driver_.answers[minor] = Answer::CompleteSuccess;
    EXPECT_EQ(drive(node, minor), STATUS_SUCCESS);
    expectNamed(Rule::PnpIrpCompletedNotForwarded, minor);
    const auto seen = seenAtPdo(node);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), minor), 0);
    driver_.answers.clear();
}

INSTANTIATE_TEST_SUITE_P(Pnp, MustGoDownTest,
                         ::testing::Values(IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
                                           IRP_MN_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                                           IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                                           IRP_MN_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL),
                         minorParamName);

TEST_F(PnpRulesTest, RefusedQueriesMayStayAboveThePdo) {
    driver_.answers[IRP_MN_QUERY_STOP_DEVICE] = Answer::Fail;
    driver_.answers[IRP_MN_QUERY_REMOVE_DEVICE] = Answer::Fail;
    sim::DeviceNode& node = plugAndStart();
    EXPECT_EQ(pnp().stop(node).outcome, sim::StopOutcome::Refused);
    EXPECT_EQ(pnp().remove(node).outcome, sim::RemoveOutcome::Refused);
    EXPECT_TRUE(system_.verifier().empty());
    driver_.answers.clear();
}

// --- surprise removal -------------------------------------------------------------------------

TEST_F(PnpRulesTest, DetachingDuringSurpriseRemovalIsAFinding) {
    driver_.detachOnSurpriseRemoval = true;
    sim::DeviceNode& node = plugAndStart();
    const PDEVICE_OBJECT fdo = driver_.fdo;
    ASSERT_EQ(pnp().surpriseRemove(node), STATUS_SUCCESS);
    expectFinding(Rule::DetachedDuringSurpriseRemoval, "before removal");
    // The FDO is off the stack now: the removal reaches only the PDO, so the driver never hears
    // of it and never disables its interface. Its leftover FDO is deleted here.
    ASSERT_EQ(pnp().removeDevice(node), STATUS_SUCCESS);
    expectFinding(Rule::InterfaceLeftEnabled);
    IoDeleteDevice(fdo);
    EXPECT_EQ(node.state, sim::DeviceNodeState::Deleted);
}

TEST_F(PnpRulesTest, DeletingDuringSurpriseRemovalIsAFinding) {
    driver_.deleteOnSurpriseRemoval = true;
    sim::DeviceNode& node = plugAndStart();
    ASSERT_EQ(pnp().surpriseRemove(node), STATUS_SUCCESS);
    expectFinding(Rule::DetachedDuringSurpriseRemoval);
    expectFinding(Rule::DeviceDeletedDuringSurpriseRemoval, "device #");
    // It was deleted while handling the surprise-removal IRP (minor 0x17), still in it.
    expectFinding(Rule::DeviceDeletedWithReferences, "minor 0x17");
    ASSERT_EQ(pnp().removeDevice(node), STATUS_SUCCESS);
    expectFinding(Rule::InterfaceLeftEnabled);
}

// --- references left in a deleted device --------------------------------------------------------

TEST_F(PnpRulesTest, RemovalWithAReadStillHeldInTheFdoIsAFinding) {
    sim::DeviceNode& node = plugAndStart();
    const PDEVICE_OBJECT fdo = driver_.fdo;
    NTSTATUS returned = 0;
    IO_STATUS_BLOCK end{};
    std::thread reader([&] { end = sendAndWait(fdo, IRP_MJ_READ, 0, {}, &returned); });
    while (driver_.held == nullptr)
        std::this_thread::yield();
    driver_.completeHeldOnRemove = false;
    ASSERT_EQ(pnp().remove(node).outcome, sim::RemoveOutcome::Removed);
    const auto found = expectFinding(Rule::DeviceDeletedWithReferences, "still in it");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].message.find("major 0x3"), std::string::npos) << found[0].message;
    EXPECT_NE(found[0].message.find("sent by the application"), std::string::npos);

    PIRP held = driver_.held.exchange(nullptr);
    held->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    reader.join();
    EXPECT_EQ(returned, STATUS_PENDING);
    EXPECT_EQ(end.Status, STATUS_CANCELLED);
}

TEST_F(PnpRulesTest, RemovalThatFinishesItsReadFirstIsClean) {
    sim::DeviceNode& node = plugAndStart();
    IO_STATUS_BLOCK end{};
    std::thread reader([&] { end = sendAndWait(driver_.fdo, IRP_MJ_READ, 0); });
    while (driver_.held == nullptr)
        std::this_thread::yield();
    ASSERT_EQ(pnp().remove(node).outcome, sim::RemoveOutcome::Removed);
    reader.join();
    EXPECT_EQ(end.Status, STATUS_DELETE_PENDING);
    EXPECT_TRUE(system_.verifier().empty());
}

// The FDO goes while its wait-wake still waits at the PDO with a completion routine of the FDO
// still to run. Without one, the IRP no longer involves the FDO once passed on: the platform lets
// a driver go with such IRPs below it.
TEST_F(PnpRulesTest, DeletingAnFdoWhoseIrpWaitsBelowItIsAFinding) {
    for (const bool routine : {true, false}) {
        SCOPED_TRACE(routine ? "with a completion routine" : "without");
        driver_.powerCompletion = routine;
        sim::DeviceNode& node = plugAndStart();
        const PDEVICE_OBJECT fdo = driver_.fdo;
        sim::IoManager& io = system_.io();
        PIRP wake = io.allocateIrp(fdo->StackSize, sim::IrpOrigin::Power, SimCallSite::current());
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(wake);
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = IRP_MN_WAIT_WAKE;
        next->Parameters.WaitWake.PowerState = PowerSystemSleeping3;
        ASSERT_EQ(PoCallDriver(fdo, wake), STATUS_PENDING);
        ASSERT_TRUE(node.busDevice->waitWakePending());

        IoDetachDevice(node.pdo);
        IoDeleteDevice(fdo);
        if (routine)
            expectFinding(Rule::DeviceDeletedWithReferences, "major 0x16"); // IRP_MJ_POWER
        EXPECT_TRUE(system_.verifier().empty());

        EXPECT_TRUE(node.busDevice->signalWake(STATUS_CANCELLED));
        node.state = sim::DeviceNodeState::Removed; // what the broken removal left
    }
}

// --- what removal must leave
// ----------------------------------------------------------------------

TEST_F(PnpRulesTest, AnInterfaceLeftEnabledAfterRemovalIsAFinding) {
    driver_.disableInterfaceOnRemove = false;
    sim::DeviceNode& node = plugAndStart();
    ASSERT_EQ(pnp().remove(node).outcome, sim::RemoveOutcome::Removed);
    for (const sim::Finding& f :
         expectFinding(Rule::InterfaceLeftEnabled, "IRP_MN_REMOVE_DEVICE")) {
        EXPECT_NE(f.message.find("{5eed0001-77aa-4b1c-8d2e-102030405060}"), std::string::npos)
            << f.message;
        EXPECT_NE(f.message.find("USBPDO-1"), std::string::npos) << f.message;
    }
}

TEST_F(PnpRulesTest, AnFdoLeftAttachedAfterRemovalIsAFinding) {
    driver_.releaseOnRemove = false;
    sim::DeviceNode& node = plugAndStart();
    const PDEVICE_OBJECT fdo = driver_.fdo;
    ASSERT_EQ(pnp().surpriseRemove(node), STATUS_SUCCESS);
    ASSERT_EQ(pnp().removeDevice(node), STATUS_SUCCESS);
    expectFinding(Rule::ObjectMisuse, "still attached above");
    EXPECT_FALSE(deleted(node.pdo)) << "the bus keeps a PDO with a device above it";
    IoDetachDevice(node.pdo);
    IoDeleteDevice(fdo);
}

} // namespace
} // namespace wdmusb::test
