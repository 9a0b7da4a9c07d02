// Low resources on the power paths: each allocation the driver makes while a device is opened and
// closed, put to sleep and woken with and without a handle, and woken by a wait-wake (every one a
// PoRequestPowerIrp) is failed once in turn. Each run must end with a clear outcome: every call
// returns, the system transitions end, nothing is left held, and the policy works again after;
// nothing leaked, no power IRP stuck, no verifier finding.
#include <gtest/gtest.h>

#include "tests/driver/driver_power.h"

namespace wdmusb::test {
namespace {

class PowerFaultsTest : public DriverPowerTest {
protected:
    // The whole power life of a started device with idle state D2. A wait-wake the driver refuses
    // (a failed power-down left the device in D0) comes back at once.
    void live(sim::DeviceNode& node) {
        const PDEVICE_OBJECT fdo = fdoOf(node);
        sim::PowerManager& power = system_.power();
        openHandle(fdo);
        closeHandle(fdo);
        power.setSystemState(PowerSystemSleeping3);
        power.setSystemState(PowerSystemWorking);
        openHandle(fdo);
        power.setSystemState(PowerSystemSleeping3);
        power.setSystemState(PowerSystemWorking);
        closeHandle(fdo);
        auto wake = power.sendWaitWake(node.pdo);
        ASSERT_TRUE(eventually([&] { return wake->done() || node.busDevice->waitWakePending(); }));
        power.setSystemState(PowerSystemSleeping3);
        node.busDevice->signalWake();
        ASSERT_TRUE(wake->wait());
        power.setSystemState(PowerSystemWorking);
    }

    // Nothing held, and the policy moves the device again.
    void expectRecovered(sim::DeviceNode& node) {
        const PDEVICE_OBJECT fdo = fdoOf(node);
        const PDEVICE_EXTENSION ext = extOf(node);
        ASSERT_TRUE(eventually([&] { return ReadShared(ext->OutstandingIoCount) == 1; }));
        EXPECT_EQ(ext->PendingSystemPowerIrp, nullptr);
        EXPECT_FALSE(ext->SelfPowerRequestPending);
        EXPECT_FALSE(ext->WaitWakeArmed);
        for (const bool open : {true, false}) {
            EXPECT_EQ(open ? openHandle(fdo) : closeHandle(fdo), STATUS_SUCCESS);
            const DEVICE_POWER_STATE expected = open ? PowerDeviceD0 : PowerDeviceD2;
            EXPECT_EQ(ext->CurrentDevicePowerState, expected);
            EXPECT_EQ(node.busDevice->devicePowerState(), expected);
        }
    }
};

TEST_F(PowerFaultsTest, EachAllocationOfThePowerPathsFailedOnce) {
    const std::size_t irpsAtRest = system_.io().liveIrpCount();
    // One life without faults counts the allocations; each device is alone on the bus while it
    // lives, so that the system transitions reach no other.
    sim::DeviceNode& reference = startWith(idleState(PowerDeviceD2));
    system_.faults().reset();
    live(reference);
    std::uint64_t perKind[sim::kAllocKindCount];
    for (int k = 0; k < sim::kAllocKindCount; ++k)
        perKind[k] = system_.faults().allocationsSeen(static_cast<sim::AllocKind>(k));
    ASSERT_GE(perKind[static_cast<int>(sim::AllocKind::PowerRequest)], 8u);
    takeDown(reference);

    std::size_t runs = 0;
    for (int k = 0; k < sim::kAllocKindCount; ++k) {
        const auto kind = static_cast<sim::AllocKind>(k);
        for (std::uint64_t n = 1; n <= perKind[k]; ++n) {
            SCOPED_TRACE(std::string(sim::allocKindName(kind)) + " allocation " +
                         std::to_string(n));
            sim::DeviceNode& node = startWith(idleState(PowerDeviceD2));
            system_.faults().reset();
            system_.faults().failNthOfKind(kind, n);
            live(node);
            ASSERT_EQ(system_.faults().failuresInjected(), 1u);
            system_.faults().reset();
            expectRecovered(node);
            takeDown(node);
            system_.power().waitIdle();
            EXPECT_EQ(driverBlocks(), 0u) << "leaked";
            EXPECT_EQ(system_.io().liveIrpCount(), irpsAtRest) << "a power IRP is stuck";
            for (const auto& finding : system_.verifier().takeAll())
                ADD_FAILURE() << "verifier [" << sim::ruleName(finding.rule) << "] "
                              << finding.message;
            ASSERT_FALSE(HasFailure());
            ++runs;
        }
    }
    EXPECT_EQ(runs, perKind[static_cast<int>(sim::AllocKind::PowerRequest)])
        << "the power paths allocate nothing but their power requests";
}

} // namespace
} // namespace wdmusb::test
