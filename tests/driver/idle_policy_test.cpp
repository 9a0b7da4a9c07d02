// The idle power policy: opens and closes moving the device between D0 and its idle state, only
// the first power-up waited for, nothing sent while the device does not accept requests, and a
// policy call while another runs making no request.
#include <gtest/gtest.h>

#include "tests/driver/driver_power.h"

namespace wdmusb::test {
namespace {

using sim::usb::PowerAnswer;

using IdlePolicyTest = DriverPowerTest;

TEST_F(IdlePolicyTest, OpensAndClosesMoveTheDeviceBetweenD0AndItsIdleState) {
    const std::tuple<DEVICE_POWER_STATE, Seen, Seen> cases[] = {
        // sleep states mapped to, what an open sends, what a close sends
        {PowerDeviceD2, {"D0"}, {"D2"}},
        {PowerDeviceD1, {"D0"}, {"D1"}},
        {PowerDeviceD3, {}, {}}, // D3 mappings leave the idle state unspecified
        {PowerDeviceD0, {}, {}},
    };
    for (const auto& [idle, open, close] : cases) {
        SCOPED_TRACE("sleep states mapped to " + std::to_string(idle));
        const PDEVICE_OBJECT fdo = fdoOf(startWith(idle));
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(openHandle(fdo), STATUS_SUCCESS);
            EXPECT_EQ(seen(), open);
            EXPECT_EQ(closeHandle(fdo), STATUS_SUCCESS);
            EXPECT_EQ(seen(), close);
        }
    }
}

// The first open after the start waits for its D0 request, though the device is working; a close
// does not wait for the power-down, nor a later open for its power-up (the event stays set); and
// while the first open waits, other policy calls make no request.
TEST_F(IdlePolicyTest, OnlyTheFirstPowerUpIsWaitedForAndNothingRacesIt) {
    sim::DeviceNode& node = startWith(PowerDeviceD2);
    const PDEVICE_OBJECT fdo = fdoOf(node);
    sim::usb::BusDevice& device = *node.busDevice;
    device.powerAnswers().add(PowerAnswer::setDevice().held().always());
    std::atomic<bool> opened{false};
    std::thread opener([&] {
        EXPECT_EQ(openHandle(fdo), STATUS_SUCCESS);
        opened = true;
    });
    ASSERT_TRUE(eventually([&] { return device.heldPowerCount() == 1; }));
    for (const BOOLEAN goIdle : {FALSE, TRUE})
        EXPECT_EQ(UpdateIdlePowerState(fdo, goIdle), STATUS_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(opened) << "the first open waits for D0";
    EXPECT_EQ(device.releasePower(), 1u);
    opener.join();

    for (const auto handle : {&closeHandle, &openHandle}) {
        EXPECT_EQ(handle(fdo), STATUS_SUCCESS);
        EXPECT_EQ(device.heldPowerCount(), 1u) << "returned without waiting";
        EXPECT_EQ(device.releasePower(), 1u);
    }
    EXPECT_EQ(seen(), (Seen{"D0", "D2", "D0"}));
    EXPECT_FALSE(extOf(node)->SelfPowerRequestPending);
}

// An open or a close that comes while the policy's last request is still in flight is not lost:
// once that request completes, the device is put where the handles open then want it.
TEST_F(IdlePolicyTest, APolicyCallWhileARequestIsInFlightIsCarriedOutAfterIt) {
    const std::tuple<NTSTATUS (*)(PDEVICE_OBJECT), NTSTATUS (*)(PDEVICE_OBJECT), Seen,
                     DEVICE_POWER_STATE>
        cases[] = {
            // first call (its request held), second call, requests seen, state at the end
            {&closeHandle, &openHandle, {"D2", "D0"}, PowerDeviceD0},
            {&openHandle, &closeHandle, {"D0", "D2"}, PowerDeviceD2},
        };
    for (const auto& [first, second, requests, end] : cases) {
        sim::DeviceNode& node = startWith(PowerDeviceD2);
        const PDEVICE_OBJECT fdo = fdoOf(node);
        EXPECT_EQ(openHandle(fdo), STATUS_SUCCESS); // the first power-up, waited for
        if (first == &openHandle) {
            EXPECT_EQ(closeHandle(fdo), STATUS_SUCCESS);
        }
        seen();
        sim::usb::BusDevice& device = *node.busDevice;
        device.powerAnswers().add(PowerAnswer::setDevice().held().always());
        EXPECT_EQ(first(fdo), STATUS_SUCCESS);
        EXPECT_EQ(second(fdo), STATUS_SUCCESS);
        for (std::size_t released = 0; released < requests.size(); ++released) {
            ASSERT_TRUE(eventually([&] { return device.heldPowerCount() == 1; }));
            EXPECT_EQ(device.releasePower(), 1u);
        }
        system_.power().waitIdle();
        EXPECT_EQ(seen(), requests);
        EXPECT_EQ(extOf(node)->CurrentDevicePowerState, end);
        EXPECT_EQ(extOf(node)->SelfPowerRequestPending, 0);
        device.powerAnswers().clear();
        if (first == &closeHandle) {
            EXPECT_EQ(closeHandle(fdo), STATUS_SUCCESS); // as the handle would
        }
    }
}

TEST_F(IdlePolicyTest, NothingIsSentWhileTheDeviceDoesNotAcceptRequests) {
    using Step = NTSTATUS (sim::PnpManager::*)(sim::DeviceNode&);
    const std::vector<Step> paths[] = {
        {}, // added, never started
        {&sim::PnpManager::queryStop},
        {&sim::PnpManager::queryStop, &sim::PnpManager::stopDevice},
        {&sim::PnpManager::queryRemove},
        {&sim::PnpManager::surpriseRemove},
    };
    for (const auto& path : paths) {
        sim::usb::BusDevice& device = bus_.plug();
        sim::DeviceNode& node = system_.pnp().add(driver_, device.pdo());
        node.busDevice = &device; // its sleep states map to D2: the idle state
        if (!path.empty()) {
            EXPECT_EQ(system_.pnp().start(node), STATUS_SUCCESS);
        }
        for (const Step step : path)
            EXPECT_EQ((system_.pnp().*step)(node), STATUS_SUCCESS);
        for (const LONG open : {0, 2}) {
            extOf(node)->OpenPipeCount = open; // as a handle would leave it
            EXPECT_EQ(UpdateIdlePowerState(fdoOf(node), open == 0), STATUS_DELETE_PENDING);
        }
        extOf(node)->OpenPipeCount = 0;
        EXPECT_EQ(seen(), Seen{}) << sim::stateName(node.state);
    }
}

} // namespace
} // namespace wdmusb::test
