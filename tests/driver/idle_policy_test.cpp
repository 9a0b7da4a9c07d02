// The idle power policy: opens and closes moving the device between D0 and its idle state, only
// every power-up waited for, nothing sent while the device does not accept requests, and a policy
// call while a request is in flight carried out after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "tests/driver/driver_power.h"
#include "tests/support/driver_build.h"

namespace wdmusb::test {
namespace {

using sim::usb::PowerAnswer;

using IdlePolicyTest = DriverPowerTest;

TEST_F(IdlePolicyTest, OpensAndClosesMoveTheDeviceBetweenD0AndItsIdleState) {
    SOURCE_BUILD_ONLY();
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

// Runs a policy call on its own thread, as a racing dispatch routine would.
std::future<NTSTATUS> callAsync(NTSTATUS (*call)(PDEVICE_OBJECT), PDEVICE_OBJECT fdo) {
    return std::async(std::launch::async, call, fdo);
}

bool returned(const std::future<NTSTATUS>& call) {
    return call.wait_for(std::chrono::milliseconds(20)) == std::future_status::ready;
}

// Every open returns only once the device is back in D0, the first after the start as well as
// one after a close's power-down; a close does not wait for its power-down; and while an open
// waits, a close's call makes no request.
TEST_F(IdlePolicyTest, EveryPowerUpIsWaitedForAndNoPowerDownIs) {
    SOURCE_BUILD_ONLY();
    sim::DeviceNode& node = startWith(PowerDeviceD2);
    const PDEVICE_OBJECT fdo = fdoOf(node);
    sim::usb::BusDevice& device = *node.busDevice;
    device.powerAnswers().add(PowerAnswer::setDevice().held().always());
    for (int round = 0; round < 2; ++round) {
        auto open = callAsync(&openHandle, fdo);
        ASSERT_TRUE(eventually([&] { return device.heldPowerCount() == 1; }));
        EXPECT_EQ(UpdateIdlePowerState(fdo, TRUE), STATUS_SUCCESS);
        EXPECT_FALSE(returned(open)) << "round " << round << ": the open waits for D0";
        EXPECT_EQ(device.releasePower(), 1u);
        EXPECT_EQ(open.get(), STATUS_SUCCESS);
        EXPECT_EQ(extOf(node)->CurrentDevicePowerState, PowerDeviceD0);

        EXPECT_EQ(closeHandle(fdo), STATUS_SUCCESS);
        EXPECT_EQ(device.heldPowerCount(), 1u) << "the close returned without waiting";
        EXPECT_EQ(device.releasePower(), 1u);
    }
    EXPECT_EQ(seen(), (Seen{"D0", "D2", "D0", "D2"}));
    EXPECT_EQ(extOf(node)->SelfPowerRequestPending, 0);
}

// An open or a close that comes while the policy's last request is still in flight is not lost:
// once that request completes, the device is put where the handles open then want it, and an
// open returns only when the device is awake.
TEST_F(IdlePolicyTest, APolicyCallWhileARequestIsInFlightIsCarriedOutAfterIt) {
    SOURCE_BUILD_ONLY();
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
        EXPECT_EQ(openHandle(fdo), STATUS_SUCCESS);
        if (first == &openHandle) {
            EXPECT_EQ(closeHandle(fdo), STATUS_SUCCESS);
        }
        seen();
        sim::usb::BusDevice& device = *node.busDevice;
        device.powerAnswers().add(PowerAnswer::setDevice().held().always());
        auto firstCall = callAsync(first, fdo);
        ASSERT_TRUE(eventually([&] { return device.heldPowerCount() == 1; }));
        auto secondCall = callAsync(second, fdo);
        const auto& open = second == &openHandle ? secondCall : firstCall;
        const auto powerUp = std::find(requests.begin(), requests.end(), "D0") - requests.begin();
        for (std::ptrdiff_t released = 0; released < std::ssize(requests); ++released) {
            ASSERT_TRUE(eventually([&] { return device.heldPowerCount() == 1; }));
            if (released <= powerUp) {
                EXPECT_FALSE(returned(open)) << "the open returned before its D0";
            }
            EXPECT_EQ(device.releasePower(), 1u);
        }
        EXPECT_EQ(firstCall.get(), STATUS_SUCCESS);
        EXPECT_EQ(secondCall.get(), STATUS_SUCCESS);
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
    SOURCE_BUILD_ONLY();
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
