// Power dispatch: a system state mapped to a device request made first, device states recorded
// as they pass with a power-up always a success, and wait-wake.
#include <gtest/gtest.h>

#include <optional>

#include "tests/driver/driver_power.h"
#include "tests/support/driver_build.h"

namespace wdmusb::test {
namespace {

using sim::usb::PowerAnswer;

constexpr auto U = PowerDeviceUnspecified;
constexpr auto D0 = PowerDeviceD0;
constexpr auto D1 = PowerDeviceD1;
constexpr auto D2 = PowerDeviceD2;
constexpr auto D3 = PowerDeviceD3;

class DispatchPowerTest : public DriverPowerTest {
protected:
    // A started device taken to `from` by a device set-power IRP through its stack.
    sim::DeviceNode& startIn(DEVICE_POWER_STATE from,
                             const std::function<void(DEVICE_CAPABILITIES&)>& edit = {}) {
        sim::DeviceNode& node = startWith(D3, edit); // D3 mappings: no idle state of its own
        if (from != U) {
            EXPECT_EQ(sendPower(fdoOf(node), DevicePowerState, from)->wait(), STATUS_SUCCESS);
        }
        seen();
        return node;
    }
};

// The device request goes first, and the system IRP only after it has completed; "armed": a
// wait-wake is down the stack, so a sleep maps through the capability table (the row in `mapped`).
TEST_F(DispatchPowerTest, ASystemStateIsMappedToADeviceRequestMadeFirst) {
    struct Case {
        DEVICE_POWER_STATE from;
        SYSTEM_POWER_STATE system;
        bool armed;
        std::optional<DEVICE_POWER_STATE> mapped;
        Seen seen;
        DEVICE_POWER_STATE after;
    };
    const Case cases[] = {
        {D2, PowerSystemWorking, false, {}, {"D0", "S0"}, D0},
        {U, PowerSystemWorking, false, {}, {"D0", "S0"}, D0}, // nothing recorded since the start
        {D0, PowerSystemSleeping3, false, {}, {"D3", "S3"}, D3},
        {D3, PowerSystemSleeping3, false, {}, {"S3"}, D3},
        {D3, PowerSystemSleeping1, true, D2, {"D2", "S1"}, D2},
        {D2, PowerSystemSleeping3, true, U, {"D?", "S3"}, D2},
        {D2, PowerSystemSleeping3, true, D0, {"D0", "S3"}, D0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("from " + std::to_string(c.from) + " to S" + std::to_string(c.system - 1));
        sim::DeviceNode& node = startIn(c.from, [&](DEVICE_CAPABILITIES& caps) {
            caps.DeviceState[c.system] = c.mapped.value_or(caps.DeviceState[c.system]);
        });
        // Held below until the system IRP is known to wait for it.
        node.busDevice->powerAnswers().add(PowerAnswer::setDevice().held());
        auto wake = c.armed ? sendWaitWake(node) : nullptr;
        std::thread sleeper([&] {
            EXPECT_EQ(system_.power().sendSystemPower(node.pdo, IRP_MN_SET_POWER, c.system),
                      STATUS_SUCCESS);
        });
        if (c.seen.size() == 2) {
            ASSERT_TRUE(eventually([&] { return node.busDevice->heldPowerCount() == 1; }));
            EXPECT_EQ(seen(), Seen{c.seen[0]}) << "the system IRP waits for the device request";
            node.busDevice->releasePower();
        }
        sleeper.join();
        EXPECT_EQ(seen(), Seen(c.seen.end() - 1, c.seen.end()));
        const PDEVICE_EXTENSION ext = extOf(node);
        EXPECT_EQ(ext->CurrentDevicePowerState, c.after);
        EXPECT_EQ(ext->PendingSystemPowerIrp, nullptr);
        node.busDevice->powerAnswers().clear();
        if (wake) {
            EXPECT_TRUE(wake->cancel());
            EXPECT_TRUE(wake->wait());
        }
        EXPECT_TRUE(eventually([&] { return ReadShared(ext->OutstandingIoCount) == 1; }));
    }
}

// When the device request cannot be made, the system IRP goes down at once, nothing stays held,
// and the idle policy works on.
TEST_F(DispatchPowerTest, WithoutItsDeviceRequestTheSystemIrpGoesDownAtOnce) {
    SOURCE_BUILD_ONLY();
    sim::DeviceNode& node = startWith(D2);
    system_.faults().failNthOfKind(sim::AllocKind::PowerRequest, 1);
    EXPECT_EQ(system_.power().sendSystemPower(node.pdo, IRP_MN_SET_POWER, PowerSystemSleeping3),
              STATUS_SUCCESS);
    EXPECT_EQ(seen(), Seen{"S3"});
    EXPECT_EQ(extOf(node)->PendingSystemPowerIrp, nullptr);
    EXPECT_EQ(ReadShared(extOf(node)->OutstandingIoCount), 1);
    EXPECT_EQ(openHandle(fdoOf(node)), STATUS_SUCCESS);
    EXPECT_EQ(seen(), Seen{"D0"});
}

// D1-D3 are recorded on the way down, D0 when the power-up completes, as a success whatever the
// bus driver said (the IRP pended, so that its status and the dispatch routine's return agree).
TEST_F(DispatchPowerTest, DeviceStatesAreRecordedAndAPowerUpAlwaysSucceeds) {
    const PowerAnswer timeout = PowerAnswer::setDevice().failWith(STATUS_IO_TIMEOUT);
    const std::tuple<DEVICE_POWER_STATE, std::optional<PowerAnswer>, NTSTATUS, NTSTATUS,
                     DEVICE_POWER_STATE>
        cases[] = {
            // sent, the bus driver's answer, returned, final status, recorded
            {D2, {}, STATUS_SUCCESS, STATUS_SUCCESS, D2},
            {D3, timeout, STATUS_IO_TIMEOUT, STATUS_IO_TIMEOUT, D3},
            {D0, timeout, STATUS_PENDING, STATUS_SUCCESS, D0},
            {D0, PowerAnswer(timeout).later(), STATUS_PENDING, STATUS_SUCCESS, D0},
            {PowerDeviceMaximum, {}, STATUS_SUCCESS, STATUS_SUCCESS, U},
        };
    for (const auto& [state, answer, returned, status, recorded] : cases) {
        SCOPED_TRACE("D-state " + std::to_string(state));
        sim::DeviceNode& node = startWith(D3);
        if (answer)
            node.busDevice->powerAnswers().add(*answer);
        auto sent = sendPower(fdoOf(node), DevicePowerState, state);
        EXPECT_EQ(sent->returned, returned);
        EXPECT_EQ(sent->wait(), status);
        EXPECT_EQ(extOf(node)->CurrentDevicePowerState, recorded);
    }
}

// Refused in D0 or before the device is as deep as its wake state; the idle state becomes the
// wake state either way. Once armed, the IRP comes back when the device signals wake.
TEST_F(DispatchPowerTest, AWaitWakeArmsTheDeviceOnlyWhenItIsDeepEnough) {
    const std::tuple<DEVICE_POWER_STATE, DEVICE_POWER_STATE, NTSTATUS> cases[] = {
        // recorded state, DeviceWake, how the wait-wake ends
        {D0, D2, STATUS_INVALID_DEVICE_STATE},
        {U, D2, STATUS_INVALID_DEVICE_STATE},
        {U, U, STATUS_SUCCESS},
        {D1, D2, STATUS_INVALID_DEVICE_STATE},
        {D2, D2, STATUS_SUCCESS},
    };
    for (const auto& [from, deviceWake, status] : cases) {
        SCOPED_TRACE("in " + std::to_string(from) + ", wakes from " + std::to_string(deviceWake));
        sim::DeviceNode& node =
            startIn(from, [&](DEVICE_CAPABILITIES& caps) { caps.DeviceWake = deviceWake; });
        auto wake = sendWaitWake(node);
        EXPECT_EQ(ReadShared(extOf(node)->WaitWakeArmed), NT_SUCCESS(status));
        node.busDevice->signalWake();
        ASSERT_TRUE(wake->wait());
        EXPECT_EQ(wake->status(), status);
        EXPECT_EQ(extOf(node)->IdleDevicePowerState, deviceWake);
        EXPECT_TRUE(eventually([&] { return ReadShared(extOf(node)->OutstandingIoCount) == 1; }));
    }
}

} // namespace
} // namespace wdmusb::test
