// Sleep and wake over and over, S3 and back: with the device idle, with a handle open, with a
// wait-wake armed and fired in between (the handle open), and with the device removed while a
// power IRP is held at its PDO. Each round must leave nothing behind: no driver pool, no IRP, no
// verifier finding, the device in the state the driver recorded. 20 rounds by default;
// WDMUSB_STRESS_ROUNDS sets another number.
#include <gtest/gtest.h>

#include "tests/driver/driver_power.h"
#include "tests/support/driver_build.h"

namespace wdmusb::test {
namespace {

constexpr int kRounds = 20;

class PowerStressTest : public DriverPowerTest {
protected:
    void sleep() { ASSERT_FALSE(system_.power().setSystemState(PowerSystemSleeping3).vetoed); }
    void wake() { ASSERT_FALSE(system_.power().setSystemState(PowerSystemWorking).vetoed); }

    // Nothing of the round is left.
    void expectAtRest(const sim::DeviceNode* node, DEVICE_POWER_STATE state) {
        system_.power().waitIdle();
        if (node != nullptr) {
            const PDEVICE_EXTENSION ext = extOf(*node);
            ASSERT_TRUE(eventually([&] { return ReadShared(ext->OutstandingIoCount) == 1; }));
            EXPECT_EQ(ext->PendingSystemPowerIrp, nullptr);
            EXPECT_EQ(ext->CurrentDevicePowerState, state);
            EXPECT_EQ(node->busDevice->devicePowerState(), state);
        }
        EXPECT_EQ(system_.io().liveIrpCount(), 0u) << "an IRP is stuck";
        for (const auto& finding : system_.verifier().takeAll())
            ADD_FAILURE() << "verifier [" << sim::ruleName(finding.rule) << "] " << finding.message;
    }
};

TEST_F(PowerStressTest, SleepAndWakeIdleWithAHandleAndWokenByTheDevice) {
    SOURCE_BUILD_ONLY();
    for (const int variant : {0, 1, 2}) { // idle, a handle open, woken by the device
        SCOPED_TRACE("variant " + std::to_string(variant));
        sim::DeviceNode& node = startWith(PowerDeviceD2);
        const PDEVICE_OBJECT fdo = fdoOf(node);
        openHandle(fdo);
        if (variant == 0)
            closeHandle(fdo);
        for (int round = 0; round < stressRounds(kRounds) && !HasFailure(); ++round) {
            sleep();
            if (variant == 2) {
                auto wakeUp = sendWaitWake(node);
                ASSERT_TRUE(node.busDevice->model().host()->remoteWakeup());
                ASSERT_TRUE(wakeUp->wait());
                EXPECT_EQ(wakeUp->status(), STATUS_SUCCESS);
                EXPECT_EQ(node.busDevice->devicePowerState(), PowerDeviceD0) << "powered up";
            }
            wake();
            if (variant == 0) {
                openHandle(fdo);
                closeHandle(fdo);
            }
            expectAtRest(&node, variant == 0 ? PowerDeviceD2 : PowerDeviceD0);
        }
        takeDown(node);
    }
}

// The removal begins while the device request of a system sleep (even rounds) or the power-up of
// an open (odd rounds) is held at the PDO: it must wait for it, then release everything.
TEST_F(PowerStressTest, RemovalWhileAPowerIrpIsHeld) {
    SOURCE_BUILD_ONLY();
    for (int round = 0; round < stressRounds(kRounds) && !HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        sim::DeviceNode& node = startWith(PowerDeviceD2);
        const PDEVICE_OBJECT fdo = fdoOf(node);
        const bool sleeping = round % 2 == 0;
        if (sleeping)
            openHandle(fdo);
        node.busDevice->powerAnswers().add(sim::usb::PowerAnswer::setDevice().held());
        std::thread holder([&] { sleeping ? sleep() : (void)openHandle(fdo); });
        ASSERT_TRUE(eventually([&] { return node.busDevice->heldPowerCount() == 1; }));
        std::atomic<bool> removed{false};
        std::thread remover([&] {
            EXPECT_EQ(system_.pnp().remove(node).outcome, sim::RemoveOutcome::Removed);
            removed = true;
        });
        ASSERT_TRUE(eventually([&] { return ReadShared(extOf(node)->Removed) != FALSE; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_FALSE(removed) << "the removal did not wait for the power IRP";
        node.busDevice->releasePower();
        holder.join();
        remover.join();
        EXPECT_EQ(driverBlocks(), 0u);
        if (sleeping)
            wake();
        expectAtRest(nullptr, PowerDeviceUnspecified);
    }
}

} // namespace
} // namespace wdmusb::test
