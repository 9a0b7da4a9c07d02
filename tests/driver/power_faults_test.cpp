// Low resources on the power paths: each allocation the driver makes while a device is opened and
// closed, put to sleep and woken with and without a handle, and armed for wake (every one a
// PoRequestPowerIrp) is failed once in turn. Each run must end with a clear outcome: every call
// returns, nothing stays held, the policy works again after; nothing leaked or stuck, no finding.
#include <gtest/gtest.h>

#include "tests/driver/driver_power.h"
#include "tests/support/driver_build.h"

namespace wdmusb::test {
namespace {

class PowerFaultsTest : public DriverPowerTest {
protected:
    // A wait-wake the driver refuses (a failed power-down left the device in D0) ends at once.
    void live(sim::DeviceNode& node) {
        const PDEVICE_OBJECT fdo = fdoOf(node);
        sim::PowerManager& power = system_.power();
        for (const bool handle : {false, true}) {
            openHandle(fdo);
            if (!handle)
                closeHandle(fdo);
            power.setSystemState(PowerSystemSleeping3);
            power.setSystemState(PowerSystemWorking);
        }
        closeHandle(fdo);
        auto wake = sendWaitWake(node);
        power.setSystemState(PowerSystemSleeping3);
        node.busDevice->signalWake();
        ASSERT_TRUE(wake->wait());
        power.setSystemState(PowerSystemWorking);
    }
};

TEST_F(PowerFaultsTest, EachAllocationOfThePowerPathsFailedOnce) {
    SOURCE_BUILD_ONLY();
    // Each device lives alone, so that the system transitions reach no other.
    sim::DeviceNode& reference = startWith(PowerDeviceD2);
    system_.faults().reset();
    live(reference);
    takeDown(reference);
    std::uint64_t perKind[sim::kAllocKindCount];
    for (int k = 0; k < sim::kAllocKindCount; ++k)
        perKind[k] = system_.faults().allocationsSeen(static_cast<sim::AllocKind>(k));
    const auto requests = perKind[static_cast<int>(sim::AllocKind::PowerRequest)];
    EXPECT_GE(requests, 8u);
    for (int k = 0; k < sim::kAllocKindCount; ++k) {
        EXPECT_TRUE(k == static_cast<int>(sim::AllocKind::PowerRequest) || perKind[k] == 0)
            << "the power paths allocate nothing but their power requests";
        for (std::uint64_t n = 1; n <= perKind[k] && !HasFailure(); ++n) {
            SCOPED_TRACE(std::string(sim::allocKindName(static_cast<sim::AllocKind>(k))) + " " +
                         std::to_string(n));
            sim::DeviceNode& node = startWith(PowerDeviceD2);
            system_.faults().reset();
            system_.faults().failNthOfKind(static_cast<sim::AllocKind>(k), n);
            live(node);
            ASSERT_EQ(system_.faults().failuresInjected(), 1u);
            system_.faults().reset();

            const PDEVICE_EXTENSION ext = extOf(node);
            ASSERT_TRUE(eventually([&] { return ReadShared(ext->OutstandingIoCount) == 1; }));
            EXPECT_EQ(ext->PendingSystemPowerIrp, nullptr);
            EXPECT_FALSE(ext->SelfPowerRequestPending || ext->WaitWakeArmed);
            for (const auto& [handle, state] :
                 {std::pair{&openHandle, PowerDeviceD0}, std::pair{&closeHandle, PowerDeviceD2}}) {
                EXPECT_EQ(handle(fdoOf(node)), STATUS_SUCCESS);
                EXPECT_EQ(ext->CurrentDevicePowerState, state) << "the policy works again";
                EXPECT_EQ(node.busDevice->devicePowerState(), state);
            }
            takeDown(node);
            system_.power().waitIdle();
            EXPECT_EQ(driverBlocks(), 0u) << "leaked";
            EXPECT_EQ(system_.io().liveIrpCount(), 0u) << "an IRP is stuck";
            for (const auto& finding : system_.verifier().takeAll())
                ADD_FAILURE() << "verifier [" << sim::ruleName(finding.rule) << "] "
                              << finding.message;
        }
    }
}

} // namespace
} // namespace wdmusb::test
