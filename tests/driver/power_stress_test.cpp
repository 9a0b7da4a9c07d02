// Sleep and wake over and over: the system to S3 and back to working with the device idle, with a
// handle open, with a wait-wake armed and fired in between, and with the device removed while a
// power IRP is held at its PDO. Every round must leave nothing behind: no driver pool, no IRP, no
// verifier finding, the device in the state the driver recorded. 20 rounds each by default;
// WDMUSB_STRESS_ROUNDS sets another number (100 and more for a real run).
#include <gtest/gtest.h>

#include "sim/usb/status_map.h"
#include "tests/driver/driver_power.h"
#include "usb/bus_request.h"
#include "usb/descriptor_request.h"

namespace wdmusb::test {
namespace {

using sim::usb::PowerAnswer;

constexpr int kRounds = 20;

class PowerStressTest : public DriverPowerTest {
protected:
    void SetUp() override {
        DriverPowerTest::SetUp();
        irpsAtRest_ = system_.io().liveIrpCount();
    }

    void sleepAndWake() {
        ASSERT_FALSE(system_.power().setSystemState(PowerSystemSleeping3).vetoed);
        ASSERT_FALSE(system_.power().setSystemState(PowerSystemWorking).vetoed);
    }

    // Nothing of the round is left: references, power IRPs, the policy's claim, findings.
    void expectAtRest(sim::DeviceNode& node, DEVICE_POWER_STATE state) {
        const PDEVICE_EXTENSION ext = extOf(node);
        ASSERT_TRUE(eventually([&] { return ReadShared(ext->OutstandingIoCount) == 1; }));
        system_.power().waitIdle();
        EXPECT_EQ(system_.io().liveIrpCount(), irpsAtRest_) << "a power IRP is stuck";
        EXPECT_EQ(ext->PendingSystemPowerIrp, nullptr);
        EXPECT_FALSE(ext->SelfPowerRequestPending);
        EXPECT_EQ(ext->CurrentDevicePowerState, state);
        EXPECT_EQ(node.busDevice->devicePowerState(), state);
        expectNoFinding();
    }

    void expectNoFinding() {
        for (const auto& finding : system_.verifier().takeAll())
            ADD_FAILURE() << "verifier [" << sim::ruleName(finding.rule) << "] " << finding.message;
    }

    // A descriptor read through the driver: it reaches the device only in D0.
    static NTSTATUS readDeviceDescriptor(PDEVICE_OBJECT fdo) {
        URB urb{};
        USB_DEVICE_DESCRIPTOR descriptor{};
        BuildGetDescriptorRequest(&urb, USB_DEVICE_DESCRIPTOR_TYPE, &descriptor, sizeof descriptor);
        return SubmitUrbSync(fdo, &urb);
    }

    // Opens and closes a handle: the device goes to its idle state.
    static void openAndClose(PDEVICE_OBJECT fdo) {
        ASSERT_EQ(openHandle(fdo), STATUS_SUCCESS);
        ASSERT_EQ(closeHandle(fdo), STATUS_SUCCESS);
    }

    std::size_t irpsAtRest_ = 0;
};

TEST_F(PowerStressTest, SleepAndWakeWithTheDeviceIdle) {
    sim::DeviceNode& node = startWith(idleState(PowerDeviceD2));
    const PDEVICE_OBJECT fdo = fdoOf(node);
    for (int round = 0; round < stressRounds(kRounds); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        openAndClose(fdo);
        expectAtRest(node, PowerDeviceD2);
        sleepAndWake();
        expectAtRest(node, PowerDeviceD0); // until the next close
        ASSERT_FALSE(HasFailure());
    }
}

TEST_F(PowerStressTest, SleepAndWakeWithAHandleOpen) {
    sim::DeviceNode& node = startWith(idleState(PowerDeviceD2));
    const PDEVICE_OBJECT fdo = fdoOf(node);
    ASSERT_EQ(openHandle(fdo), STATUS_SUCCESS);
    for (int round = 0; round < stressRounds(kRounds); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_FALSE(system_.power().setSystemState(PowerSystemSleeping3).vetoed);
        EXPECT_EQ(readDeviceDescriptor(fdo), sim::usb::kStatusDevicePoweredOff);
        ASSERT_FALSE(system_.power().setSystemState(PowerSystemWorking).vetoed);
        EXPECT_EQ(readDeviceDescriptor(fdo), STATUS_SUCCESS);
        EXPECT_EQ(extOf(node)->OpenPipeCount, 2);
        expectAtRest(node, PowerDeviceD0);
        ASSERT_FALSE(HasFailure());
    }
    ASSERT_EQ(closeHandle(fdo), STATUS_SUCCESS);
}

// Each round the idle device is armed, the system sleeps (the armed device stays in its wake
// state), the device signals wake, and the system comes back.
TEST_F(PowerStressTest, SleepWithAWaitWakeArmedAndFired) {
    sim::DeviceNode& node = startWith(idleState(PowerDeviceD2));
    const PDEVICE_OBJECT fdo = fdoOf(node);
    for (int round = 0; round < stressRounds(kRounds); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        openAndClose(fdo);
        auto wake = arm(node);
        ASSERT_FALSE(system_.power().setSystemState(PowerSystemSleeping3).vetoed);
        EXPECT_EQ(node.busDevice->devicePowerState(), PowerDeviceD2);
        ASSERT_TRUE(node.busDevice->model().host()->remoteWakeup());
        ASSERT_TRUE(wake->wait());
        EXPECT_EQ(wake->status(), STATUS_SUCCESS);
        ASSERT_FALSE(system_.power().setSystemState(PowerSystemWorking).vetoed);
        expectAtRest(node, PowerDeviceD0);
        ASSERT_FALSE(HasFailure());
    }
}

// Each round a device is started with a handle open, and its removal begins while a power IRP is
// held at its PDO: the device request of a system sleep (even rounds) or the power-up of an open
// (odd rounds). The removal must wait for it, then release everything.
TEST_F(PowerStressTest, RemovalWhileAPowerIrpIsHeld) {
    for (int round = 0; round < stressRounds(kRounds); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        sim::DeviceNode& node = startWith(idleState(PowerDeviceD2));
        const PDEVICE_OBJECT fdo = fdoOf(node);
        sim::usb::BusDevice& device = *node.busDevice;
        const bool sleeping = round % 2 == 0;
        if (sleeping) {
            ASSERT_EQ(openHandle(fdo), STATUS_SUCCESS);
        }
        device.powerAnswers().add(PowerAnswer::setDevice().held());

        std::thread holder([&] {
            if (sleeping)
                EXPECT_FALSE(system_.power().setSystemState(PowerSystemSleeping3).vetoed);
            else
                EXPECT_EQ(openHandle(fdo), STATUS_SUCCESS);
        });
        ASSERT_TRUE(eventually([&] { return device.heldPowerCount() == 1; }));
        std::atomic<bool> removed{false};
        std::thread remover([&] {
            EXPECT_EQ(system_.pnp().remove(node).outcome, sim::RemoveOutcome::Removed);
            removed = true;
        });
        ASSERT_TRUE(eventually([&] { return ReadShared(extOf(node)->Removed) != FALSE; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_FALSE(removed) << "the removal did not wait for the power IRP";
        EXPECT_EQ(device.releasePower(), 1u);
        holder.join();
        remover.join();

        EXPECT_EQ(fdoOf(node), nullptr);
        EXPECT_EQ(driverBlocks(), 0u);
        if (sleeping) {
            ASSERT_FALSE(system_.power().setSystemState(PowerSystemWorking).vetoed);
        }
        system_.power().waitIdle();
        EXPECT_EQ(system_.io().liveIrpCount(), irpsAtRest_);
        expectNoFinding();
        ASSERT_FALSE(HasFailure());
    }
}

} // namespace
} // namespace wdmusb::test
