// The idle power policy: opens and closes moving the device between D0 and its idle state, the
// open waiting for the power-up and the close not waiting, nothing sent when the device does not
// accept requests, and racing policy calls making one request.
#include <gtest/gtest.h>

#include "tests/driver/driver_power.h"

namespace wdmusb::test {
namespace {

using sim::usb::PowerAnswer;

using IdlePolicyTest = DriverPowerTest;

TEST_F(IdlePolicyTest, OpensAndClosesMoveTheDeviceBetweenD0AndItsIdleState) {
    struct Case {
        DEVICE_POWER_STATE idle;
        Seen open, close;
    };
    const Case cases[] = {
        {PowerDeviceD2, {"D0"}, {"D2"}},
        {PowerDeviceD1, {"D0"}, {"D1"}},
        {PowerDeviceD3, {}, {}}, // a D3 mapping leaves the idle state unspecified
        {PowerDeviceD0, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("sleep states mapped to " + std::to_string(c.idle));
        sim::DeviceNode& node = startWith(idleState(c.idle));
        const PDEVICE_OBJECT fdo = fdoOf(node);
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(openHandle(fdo), STATUS_SUCCESS);
            EXPECT_EQ(seen_.take(), c.open);
            EXPECT_EQ(closeHandle(fdo), STATUS_SUCCESS);
            EXPECT_EQ(seen_.take(), c.close);
        }
        EXPECT_EQ(extOf(node)->OutstandingIoCount, 1);
    }
}

// The first open after the start waits for its D0 request although the device is working; a
// close does not wait for the power-down; a later open finds the power-up event set and does not
// wait either.
TEST_F(IdlePolicyTest, OnlyTheFirstPowerUpIsWaitedFor) {
    sim::DeviceNode& node = startWith(idleState(PowerDeviceD2));
    const PDEVICE_OBJECT fdo = fdoOf(node);
    sim::usb::BusDevice& device = *node.busDevice;
    device.powerAnswers().add(PowerAnswer::setDevice().held().always());

    std::atomic<bool> opened{false};
    std::thread opener([&] {
        EXPECT_EQ(openHandle(fdo), STATUS_SUCCESS);
        opened = true;
    });
    ASSERT_TRUE(eventually([&] { return device.heldPowerCount() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(opened) << "the first open waits for D0";
    EXPECT_EQ(device.releasePower(), 1u);
    opener.join();
    EXPECT_EQ(extOf(node)->CurrentDevicePowerState, PowerDeviceD0);

    EXPECT_EQ(closeHandle(fdo), STATUS_SUCCESS);
    EXPECT_EQ(device.heldPowerCount(), 1u) << "the close did not wait for D2";
    EXPECT_EQ(device.releasePower(), 1u);
    EXPECT_EQ(openHandle(fdo), STATUS_SUCCESS);
    EXPECT_EQ(device.heldPowerCount(), 1u) << "a later open does not wait";
    EXPECT_EQ(device.releasePower(), 1u);
    EXPECT_EQ(seen_.take(), (Seen{"D0", "D2", "D0"}));
    device.powerAnswers().clear();
    EXPECT_EQ(closeHandle(fdo), STATUS_SUCCESS);
}

TEST_F(IdlePolicyTest, NothingIsSentWhileTheDeviceDoesNotAcceptRequests) {
    sim::PnpManager& pnp = system_.pnp();
    using Step = NTSTATUS (sim::PnpManager::*)(sim::DeviceNode&);
    // From the start on, each step after the other; none at all: added, never started.
    const std::vector<Step> paths[] = {
        {},
        {&sim::PnpManager::start, &sim::PnpManager::queryStop},
        {&sim::PnpManager::start, &sim::PnpManager::queryStop, &sim::PnpManager::stopDevice},
        {&sim::PnpManager::start, &sim::PnpManager::queryRemove},
        {&sim::PnpManager::start, &sim::PnpManager::surpriseRemove},
    };
    for (const auto& path : paths) {
        sim::usb::BusDevice& device = bus_.plug();
        DEVICE_CAPABILITIES caps = device.capabilities();
        idleState(PowerDeviceD2)(caps);
        device.setCapabilities(caps);
        sim::DeviceNode& node = system_.pnp().add(driver_, device.pdo());
        node.busDevice = &device;
        for (const Step step : path)
            EXPECT_EQ((pnp.*step)(node), STATUS_SUCCESS);
        seen_.take();
        const PDEVICE_OBJECT fdo = fdoOf(node);
        for (const LONG open : {0, 2}) {
            extOf(node)->OpenPipeCount = open; // as a handle would leave it
            EXPECT_EQ(UpdateIdlePowerState(fdo, open == 0), STATUS_DELETE_PENDING);
        }
        extOf(node)->OpenPipeCount = 0;
        EXPECT_TRUE(seen_.take().empty()) << sim::stateName(node.state);
    }
}

// An open waits for its power-up with the policy claimed: an open, a close or a wait-wake's
// power-up meanwhile does nothing, and no second request is made.
TEST_F(IdlePolicyTest, APolicyCallWhileAnotherRunsMakesNoRequest) {
    sim::DeviceNode& node = startWith(idleState(PowerDeviceD2));
    const PDEVICE_OBJECT fdo = fdoOf(node);
    sim::usb::BusDevice& device = *node.busDevice;
    device.powerAnswers().add(PowerAnswer::setDevice(PowerDeviceD0).held());
    std::thread opener([&] { EXPECT_EQ(openHandle(fdo), STATUS_SUCCESS); });
    ASSERT_TRUE(eventually([&] { return device.heldPowerCount() == 1; }));
    for (const BOOLEAN goIdle : {FALSE, TRUE})
        EXPECT_EQ(UpdateIdlePowerState(fdo, goIdle), STATUS_SUCCESS);
    EXPECT_EQ(device.releasePower(), 1u);
    opener.join();
    EXPECT_EQ(seen_.take(), Seen{"D0"});
    EXPECT_FALSE(extOf(node)->SelfPowerRequestPending);
    EXPECT_EQ(closeHandle(fdo), STATUS_SUCCESS);
}

} // namespace
} // namespace wdmusb::test
