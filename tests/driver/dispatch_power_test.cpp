// Power dispatch: system set-power mapped to a device request made first, device set-power
// recorded as it passes and a power-up reported as a success, and wait-wake.
#include <gtest/gtest.h>

#include <optional>

#include "power/dispatch_power.h"
#include "tests/driver/driver_power.h"

namespace wdmusb::test {
namespace {

using sim::usb::PowerAnswer;

constexpr auto Unspecified = PowerDeviceUnspecified;

class DispatchPowerTest : public DriverPowerTest {
protected:
    // Takes the started device to `state` with a device set-power IRP through its stack.
    void bringTo(sim::DeviceNode& node, DEVICE_POWER_STATE state) {
        if (state != Unspecified) {
            ASSERT_EQ(setDevicePower(fdoOf(node), state)->wait(), STATUS_SUCCESS);
        }
        seen_.take();
    }
};

TEST_F(DispatchPowerTest, ASystemStateIsMappedToADeviceRequestMadeFirst) {
    struct Case {
        const char* what;
        DEVICE_POWER_STATE from;
        bool armed;
        SYSTEM_POWER_STATE system;
        std::optional<DEVICE_POWER_STATE> mapped; // the capability table's row for `system`
        Seen seen;
        DEVICE_POWER_STATE after;
    };
    const Case cases[] = {
        {"working from D2",
         PowerDeviceD2,
         false,
         PowerSystemWorking,
         {},
         {"D0", "S0"},
         PowerDeviceD0},
        {"working from the start",
         Unspecified,
         false,
         PowerSystemWorking,
         {},
         {"D0", "S0"},
         PowerDeviceD0},
        {"S3 from D0", PowerDeviceD0, false, PowerSystemSleeping3, {}, {"D3", "S3"}, PowerDeviceD3},
        {"S3 from D3", PowerDeviceD3, false, PowerSystemSleeping3, {}, {"S3"}, PowerDeviceD3},
        {"S1 armed, mapped to D2",
         PowerDeviceD3,
         true,
         PowerSystemSleeping1,
         PowerDeviceD2,
         {"D2", "S1"},
         PowerDeviceD2},
        {"S3 armed, mapped to unspecified",
         PowerDeviceD2,
         true,
         PowerSystemSleeping3,
         Unspecified,
         {"D?", "S3"},
         PowerDeviceD2},
        {"S3 armed, mapped to D0",
         PowerDeviceD2,
         true,
         PowerSystemSleeping3,
         PowerDeviceD0,
         {"D0", "S3"},
         PowerDeviceD0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::DeviceNode& node = startWith([&](DEVICE_CAPABILITIES& caps) {
            if (c.mapped)
                caps.DeviceState[c.system] = *c.mapped;
        });
        bringTo(node, c.from);
        auto wake = c.armed ? arm(node) : nullptr;

        EXPECT_EQ(system_.power().sendSystemPower(fdoOf(node), IRP_MN_SET_POWER, c.system),
                  STATUS_SUCCESS);
        EXPECT_EQ(seen_.take(), c.seen);
        const PDEVICE_EXTENSION ext = extOf(node);
        EXPECT_EQ(ext->CurrentDevicePowerState, c.after);
        EXPECT_EQ(ext->PendingSystemPowerIrp, nullptr);
        EXPECT_EQ(ext->OutstandingIoCount, c.armed ? 2 : 1);
        if (wake) {
            EXPECT_TRUE(wake->cancel());
            ASSERT_TRUE(wake->wait());
            EXPECT_TRUE(eventually([&] { return ext->OutstandingIoCount == 1; }));
        }
    }
}

// The system IRP waits while the device request is held below; one that cannot be requested
// does not hold it: it goes down at once, and the policy works on.
TEST_F(DispatchPowerTest, TheSystemIrpGoesDownAfterItsDeviceRequestOrWithoutOne) {
    sim::DeviceNode& node = startWith(idleState(PowerDeviceD2));
    const PDEVICE_OBJECT fdo = fdoOf(node);
    node.busDevice->powerAnswers().add(PowerAnswer::setDevice(PowerDeviceD3).held());
    std::thread sleeper([&] {
        EXPECT_EQ(system_.power().sendSystemPower(fdo, IRP_MN_SET_POWER, PowerSystemSleeping3),
                  STATUS_SUCCESS);
    });
    ASSERT_TRUE(eventually([&] { return node.busDevice->heldPowerCount() == 1; }));
    EXPECT_NE(ReadShared(extOf(node)->PendingSystemPowerIrp), nullptr);
    EXPECT_EQ(seen_.take(), Seen{"D3"}) << "the system IRP is held meanwhile";
    EXPECT_EQ(node.busDevice->releasePower(), 1u);
    sleeper.join();
    EXPECT_EQ(seen_.take(), Seen{"S3"});

    system_.faults().failNthOfKind(sim::AllocKind::PowerRequest, 1);
    EXPECT_EQ(system_.power().sendSystemPower(fdo, IRP_MN_SET_POWER, PowerSystemWorking),
              STATUS_SUCCESS);
    EXPECT_EQ(seen_.take(), Seen{"S0"});
    EXPECT_EQ(extOf(node)->PendingSystemPowerIrp, nullptr);
    EXPECT_EQ(extOf(node)->OutstandingIoCount, 1);
    EXPECT_EQ(openHandle(fdo), STATUS_SUCCESS);
    EXPECT_EQ(seen_.take(), Seen{"D0"}) << "the policy is not shut out";
    EXPECT_EQ(closeHandle(fdo), STATUS_SUCCESS);
}

// D1-D3 are recorded on the way down; D0 when the power-up completes, as a success whatever the
// bus driver said (the IRP pended, so that its status and the dispatch routine's return agree).
TEST_F(DispatchPowerTest, DeviceStatesAreRecordedAndAPowerUpAlwaysSucceeds) {
    struct Case {
        DEVICE_POWER_STATE state;
        std::optional<PowerAnswer> answer;
        NTSTATUS returned;
        NTSTATUS status;
        DEVICE_POWER_STATE recorded;
    };
    const PowerAnswer timeout = PowerAnswer::setDevice().failWith(STATUS_IO_TIMEOUT);
    const Case cases[] = {
        {PowerDeviceD2, {}, STATUS_SUCCESS, STATUS_SUCCESS, PowerDeviceD2},
        {PowerDeviceD3, timeout, STATUS_IO_TIMEOUT, STATUS_IO_TIMEOUT, PowerDeviceD3},
        {PowerDeviceD0, {}, STATUS_PENDING, STATUS_SUCCESS, PowerDeviceD0},
        {PowerDeviceD0, timeout, STATUS_PENDING, STATUS_SUCCESS, PowerDeviceD0},
        {PowerDeviceD0, PowerAnswer(timeout).later(), STATUS_PENDING, STATUS_SUCCESS,
         PowerDeviceD0},
        {PowerDeviceMaximum, {}, STATUS_SUCCESS, STATUS_SUCCESS, Unspecified},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("D-state " + std::to_string(c.state));
        sim::DeviceNode& node = startWith();
        if (c.answer)
            node.busDevice->powerAnswers().add(*c.answer);
        auto sent = setDevicePower(fdoOf(node), c.state);
        EXPECT_EQ(sent->returned, c.returned);
        EXPECT_EQ(sent->wait(), c.status);
        EXPECT_EQ(extOf(node)->CurrentDevicePowerState, c.recorded);
        EXPECT_TRUE(eventually([&] { return extOf(node)->OutstandingIoCount == 1; }));
    }
}

TEST_F(DispatchPowerTest, AWaitWakeArmsTheDeviceOnlyWhenItIsDeepEnough) {
    struct Case {
        const char* what;
        DEVICE_POWER_STATE from;
        DEVICE_POWER_STATE deviceWake;
        bool armed;
    };
    const Case cases[] = {
        {"in D0", PowerDeviceD0, PowerDeviceD2, false},
        {"never recorded", Unspecified, PowerDeviceD2, false},
        {"never recorded, no wake state", Unspecified, Unspecified, true},
        {"not deep enough", PowerDeviceD1, PowerDeviceD2, false},
        {"deep enough", PowerDeviceD2, PowerDeviceD2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::DeviceNode& node = startWith([&](DEVICE_CAPABILITIES& caps) {
            idleState(PowerDeviceD3)(caps); // no idle state of its own
            caps.DeviceWake = c.deviceWake;
        });
        bringTo(node, c.from);
        const PDEVICE_EXTENSION ext = extOf(node);
        auto wake = system_.power().sendWaitWake(node.pdo);
        if (!c.armed) {
            ASSERT_TRUE(wake->wait());
            EXPECT_EQ(wake->status(), STATUS_INVALID_DEVICE_STATE);
        } else {
            ASSERT_TRUE(eventually([&] { return node.busDevice->waitWakePending(); }));
            EXPECT_TRUE(ext->WaitWakeArmed);
            EXPECT_TRUE(node.busDevice->model().host()->remoteWakeup());
            ASSERT_TRUE(wake->wait());
            EXPECT_EQ(wake->status(), STATUS_SUCCESS);
        }
        EXPECT_EQ(ext->IdleDevicePowerState, c.deviceWake) << "replaced all the same";
        EXPECT_TRUE(
            eventually([&] { return ext->OutstandingIoCount == 1 && !ext->WaitWakeArmed; }));
    }
}

// The device wakes the sleeping system while a handle is open: the driver brings it to D0 as soon
// as the wait-wake is back, and the return to working then finds it there.
TEST_F(DispatchPowerTest, AWakeWithAHandleOpenPowersTheDeviceUp) {
    sim::DeviceNode& node = startWith(idleState(PowerDeviceD2));
    const PDEVICE_OBJECT fdo = fdoOf(node);
    ASSERT_EQ(openHandle(fdo), STATUS_SUCCESS);
    EXPECT_FALSE(system_.power().setSystemState(PowerSystemSleeping3).vetoed);
    auto wake = arm(node);
    seen_.take();
    EXPECT_TRUE(node.busDevice->model().host()->remoteWakeup());
    ASSERT_TRUE(wake->wait());
    EXPECT_EQ(wake->status(), STATUS_SUCCESS);
    EXPECT_EQ(seen_.take(), Seen{"D0"});
    EXPECT_EQ(node.busDevice->devicePowerState(), PowerDeviceD0);
    EXPECT_FALSE(system_.power().setSystemState(PowerSystemWorking).vetoed);
    EXPECT_EQ(seen_.take(), Seen{"S0"}) << "in D0 already";
    EXPECT_EQ(closeHandle(fdo), STATUS_SUCCESS);
}

} // namespace
} // namespace wdmusb::test
