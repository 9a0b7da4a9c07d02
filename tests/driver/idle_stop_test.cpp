// A device left in its idle state (D2) by the last close, then stopped or removed: the stop wakes
// it before giving up the configuration, so rebalances go through and the device works after the
// next start; a device that cannot be configured off still fails its stop and is kept; removal of
// an idle device releases everything.
#include <functional>
#include <optional>
#include <thread>

#include "sim/power/power_manager.h"
#include "sim/usb/status_map.h"
#include "tests/driver/client_fixture.h"
#include "tests/support/eventually.h"

namespace wdmusb::test {
namespace {

using sim::usb::PowerAnswer;

class IdleStopTest : public ClientTest {
protected:
    // The loopback device started, opened and closed: idle in D2, no handle open. `deviceWake`:
    // the deepest state the PDO says the device can wake from, when not the bus's default.
    void startIdle(std::optional<DEVICE_POWER_STATE> deviceWake = std::nullopt) {
        if (deviceWake) {
            sim::usb::BusDevice& device = bus_.plug();
            DEVICE_CAPABILITIES caps = device.capabilities();
            caps.DeviceWake = *deviceWake;
            device.setCapabilities(caps);
            node_ = &system_.pnp().add(driver_, device.pdo());
            node_->busDevice = &device;
            ASSERT_EQ(system_.pnp().start(*node_), STATUS_SUCCESS);
            handle_ = openDevice(GUID_DEVINTERFACE_WDMUSB, 0,
                                 devicePaths(GUID_DEVINTERFACE_WDMUSB).size() - 1);
            ASSERT_TRUE(handle_.valid()) << "error " << GetLastError();
        } else {
            startAndOpen();
        }
        handle_.close();
        system_.power().waitIdle();
        ASSERT_EQ(node_->busDevice->devicePowerState(), PowerDeviceD2);
        ASSERT_EQ(ext()->CurrentDevicePowerState, PowerDeviceD2);
        recorder_.clear();
    }

    // The stop's unconfigure: the last SELECT_CONFIGURATION the bus received, with no
    // configuration, and how the bus completed it.
    void expectUnconfiguredOnce(NTSTATUS status) {
        const auto selects = sent(URB_FUNCTION_SELECT_CONFIGURATION);
        ASSERT_FALSE(selects.empty());
        EXPECT_EQ(selects.front().submittedUrb().UrbSelectConfiguration.ConfigurationDescriptor,
                  nullptr);
        EXPECT_EQ(selects.front().irpStatus, status);
    }

    // A new handle moves data both ways; its close puts the device back in D2.
    void expectHandleWorksAndIdlesAgain() {
        handle_ = openDevice(GUID_DEVINTERFACE_WDMUSB, 0,
                             devicePaths(GUID_DEVINTERFACE_WDMUSB).size() - 1);
        ASSERT_TRUE(handle_.valid()) << "error " << GetLastError();
        EXPECT_EQ(node_->busDevice->devicePowerState(), PowerDeviceD0);
        std::vector<std::uint8_t> out(600), in(600);
        for (std::size_t i = 0; i < out.size(); ++i)
            out[i] = static_cast<std::uint8_t>(i * 7);
        EXPECT_EQ(write(out.data(), 600).bytes, 600u);
        EXPECT_EQ(read(in.data(), 600).bytes, 600u);
        EXPECT_EQ(in, out);
        handle_.close();
        system_.power().waitIdle();
        EXPECT_EQ(node_->busDevice->devicePowerState(), PowerDeviceD2);
    }
};

TEST_F(IdleStopTest, AStopOfAnIdleDeviceWakesItAndTheDeviceWorksAfterTheStart) {
    const struct {
        const char* name;
        bool stepByStep; // query-stop, stop and start sent one by one rather than a rebalance
        bool openAfter;
    } cases[] = {
        {"rebalance", false, false},
        {"rebalance, then a handle", false, true},
        {"query-stop, stop, start", true, false},
        {"query-stop, stop, start, then a handle", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startIdle();
        if (c.stepByStep) {
            EXPECT_EQ(system_.pnp().queryStop(*node_), STATUS_SUCCESS);
            EXPECT_EQ(system_.pnp().stopDevice(*node_), STATUS_SUCCESS);
            EXPECT_EQ(node_->busDevice->devicePowerState(), PowerDeviceD0) << "woken by the stop";
            EXPECT_FALSE(IsAcceptingRequests(fdo()));
            EXPECT_EQ(system_.pnp().start(*node_), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(system_.pnp().stop(*node_).outcome, sim::StopOutcome::Restarted);
        }
        expectUnconfiguredOnce(STATUS_SUCCESS);
        EXPECT_TRUE(IsAcceptingRequests(fdo()));
        EXPECT_EQ(ext()->CurrentDevicePowerState, PowerDeviceD0);
        EXPECT_FALSE(ext()->SelfPowerRequestPending);
        if (c.openAfter)
            expectHandleWorksAndIdlesAgain();
    }
}

// The last close's power-down still in flight when the stop comes: the stop waits for it, then
// wakes the device, and its unconfigure succeeds.
TEST_F(IdleStopTest, AStopWaitsForAPowerDownStillInFlight) {
    startAndOpen();
    sim::usb::BusDevice& device = *node_->busDevice;
    device.powerAnswers().add(PowerAnswer::setDevice().held().always());
    handle_.close();
    ASSERT_TRUE(eventually([&] { return device.heldPowerCount() == 1; }));
    recorder_.clear();
    std::thread rebalance(
        [&] { EXPECT_EQ(system_.pnp().stop(*node_).outcome, sim::StopOutcome::Restarted); });
    for (int request = 0; request < 2; ++request) { // the close's D2, then the stop's D0
        ASSERT_TRUE(eventually([&] { return device.heldPowerCount() == 1; }));
        EXPECT_EQ(device.releasePower(), 1u);
    }
    rebalance.join();
    device.powerAnswers().clear();
    expectUnconfiguredOnce(STATUS_SUCCESS);
    EXPECT_EQ(ext()->CurrentDevicePowerState, PowerDeviceD0);
    EXPECT_FALSE(ext()->SelfPowerRequestPending);
}

// A wait-wake that comes while the device idles in D2 replaces the idle state with the state the
// device can wake from; for a device that cannot wake from D1-D3 that is D0 or unspecified, which
// is no idle state at all. The device is still asleep: the stop wakes it all the same, and the
// rebalance goes through.
TEST_F(IdleStopTest, AStopWakesADeviceArmedForWakeWhateverItsIdleStateBecame) {
    for (const DEVICE_POWER_STATE wake : {PowerDeviceUnspecified, PowerDeviceD0}) {
        SCOPED_TRACE("DeviceWake " + std::to_string(wake));
        startIdle(wake);
        auto armed = system_.power().sendWaitWake(node_->pdo);
        ASSERT_TRUE(eventually([&] { return node_->busDevice->waitWakePending(); }));
        ASSERT_EQ(ext()->IdleDevicePowerState, wake);
        ASSERT_EQ(node_->busDevice->devicePowerState(), PowerDeviceD2);

        const sim::StopResult rebalance = system_.pnp().stop(*node_);
        EXPECT_EQ(rebalance.outcome, sim::StopOutcome::Restarted);
        EXPECT_EQ(rebalance.stopStatus, STATUS_SUCCESS);
        expectUnconfiguredOnce(STATUS_SUCCESS);
        EXPECT_EQ(node_->busDevice->devicePowerState(), PowerDeviceD0);
        EXPECT_EQ(ext()->CurrentDevicePowerState, PowerDeviceD0);
        EXPECT_TRUE(IsAcceptingRequests(fdo()));

        EXPECT_TRUE(armed->cancel());
        EXPECT_TRUE(armed->wait());
        EXPECT_FALSE(ext()->WaitWakeArmed);
    }
}

// What the bus refuses after the power-up still fails the stop, as for an awake device: the
// driver keeps the device, started and accepting requests.
TEST_F(IdleStopTest, AStopOfAnIdleDeviceThatCannotBeConfiguredOffFailsAndKeepsIt) {
    const struct {
        const char* name;
        std::function<void(sim::usb::BusDevice&)> fault;
        NTSTATUS stopStatus;
    } cases[] = {
        {"the bus fails the power-up",
         [](sim::usb::BusDevice& d) {
             d.powerAnswers().add(
                 PowerAnswer::setDevice(PowerDeviceD0).failWith(STATUS_IO_TIMEOUT));
         },
         sim::usb::kStatusDevicePoweredOff},
        {"the bus fails the unconfigure",
         [](sim::usb::BusDevice& d) {
             d.faults().add(UrbFault::on(URB_FUNCTION_SELECT_CONFIGURATION)
                                .failWith(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
         },
         STATUS_UNSUCCESSFUL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startIdle();
        c.fault(*node_->busDevice);
        const sim::StopResult rebalance = system_.pnp().stop(*node_);
        EXPECT_EQ(rebalance.outcome, sim::StopOutcome::StopFailed);
        EXPECT_EQ(rebalance.stopStatus, c.stopStatus);
        expectUnconfiguredOnce(c.stopStatus);
        EXPECT_TRUE(ext()->Started);
        EXPECT_TRUE(IsAcceptingRequests(fdo()));
        EXPECT_FALSE(ext()->SelfPowerRequestPending);
    }
}

// Removal sends the device nothing that needs it awake: an idle device is removed, by request or
// after it was pulled out, and everything its start allocated is released.
TEST_F(IdleStopTest, RemovalOfAnIdleDeviceReleasesEverything) {
    const struct {
        const char* name;
        bool surprise;
        sim::DeviceNodeState end;
    } cases[] = {{"query-remove, removal", false, sim::DeviceNodeState::Removed},
                 {"surprise removal, removal", true, sim::DeviceNodeState::Deleted}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = driverBlocks();
        startIdle();
        if (c.surprise) {
            EXPECT_EQ(system_.pnp().surpriseRemove(*node_), STATUS_SUCCESS);
            EXPECT_EQ(system_.pnp().removeDevice(*node_), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(system_.pnp().remove(*node_).outcome, sim::RemoveOutcome::Removed);
        }
        EXPECT_EQ(node_->state.load(), c.end);
        EXPECT_EQ(driverBlocks(), before);
        EXPECT_TRUE(sent(URB_FUNCTION_SELECT_CONFIGURATION).empty());
    }
}

} // namespace
} // namespace wdmusb::test
