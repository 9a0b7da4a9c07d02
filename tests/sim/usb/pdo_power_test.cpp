// The bus PDO's power: scripted answers to set-power, the device's power state following what
// the PDO completed (a start bringing it to D0), requests to a suspended device failing, and
// wait-wake sent by the power manager and ended by the device's remote wakeup or a cancel.
#include "sim/usb/status_map.h"
#include "tests/sim/power/power_fixture.h"
#include "tests/sim/usb/usb_fixture.h"

namespace wdmusb::test {
namespace {

using sim::usb::PowerAnswer;
using sim::usb::PowerReply;

// The loopback device, keeping the power states the bus put it in.
class WatchedLoopback : public LoopbackDevice {
public:
    void powerChanged(DEVICE_POWER_STATE state) override { states.push_back(state); }
    std::vector<DEVICE_POWER_STATE> states; // under the bus's model lock
};

using PdoPowerTest = UsbBusTest;

TEST_F(PdoPowerTest, SetPowerIsAnsweredAsScripted) {
    for (const PowerReply reply : {PowerReply::Now, PowerReply::Later, PowerReply::Held}) {
        for (const NTSTATUS status : {STATUS_SUCCESS, STATUS_IO_TIMEOUT}) {
            SCOPED_TRACE("reply " + std::to_string(int(reply)) + " status " +
                         std::to_string(status));
            device_.setDevicePower(PowerDeviceD0);
            PowerAnswer answer = PowerAnswer::setDevice(PowerDeviceD2).failWith(status);
            answer.reply = reply;
            device_.powerAnswers().add(answer);

            auto sent = setDevicePower(device_.pdo(), PowerDeviceD2);
            EXPECT_EQ(sent->returned, reply == PowerReply::Now ? status : STATUS_PENDING);
            if (reply == PowerReply::Held) {
                EXPECT_EQ(device_.heldPowerCount(), 1u);
                EXPECT_FALSE(sent->finished());
                EXPECT_EQ(device_.releasePower(), 1u);
            }
            EXPECT_EQ(sent->wait(), status);
            EXPECT_EQ(device_.devicePowerState(),
                      NT_SUCCESS(status) ? PowerDeviceD2 : PowerDeviceD0);
        }
    }
    EXPECT_EQ(setDevicePower(device_.pdo(), PowerDeviceD1)->wait(), STATUS_SUCCESS)
        << "an answer is used once";
}

TEST_F(PdoPowerTest, ThePowerStateFollowsThePdoAndAStartBringsTheDeviceToD0) {
    auto model = std::make_shared<WatchedLoopback>();
    sim::usb::BusDevice& device = bus_.plug(model);
    EXPECT_EQ(device.devicePowerState(), PowerDeviceD0) << "enumerated by the hub";
    ASSERT_EQ(setDevicePower(device.pdo(), PowerDeviceD3)->wait(), STATUS_SUCCESS);
    EXPECT_TRUE(device.suspended());
    EXPECT_EQ(sendAndWait(device.pdo(), IRP_MJ_PNP, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(device.devicePowerState(), PowerDeviceD0);
    std::lock_guard lock(device.modelMutex());
    EXPECT_EQ(model->states, (std::vector{PowerDeviceD3, PowerDeviceD0}));
}

// A transfer in flight when the device suspends ends, and every later request that must reach the
// device fails, until it is back in D0.
TEST_F(PdoPowerTest, RequestsToASuspendedDeviceFailAsOnASuspendedPort) {
    bus_.controller().setMode(UCHAR{0}, sim::usb::CompletionMode::Held); // the default pipe
    std::vector<std::uint8_t> configuration = LoopbackDevice::defaultConfigurationDescriptor();
    USHORT selectBytes = 0;
    PURB select = USBD_CreateConfigurationRequest(
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data()), &selectBytes);
    for (const DEVICE_POWER_STATE state : {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3}) {
        SCOPED_TRACE(state);
        std::vector<std::uint8_t> buffer(18);
        auto inFlight = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, buffer);
        AsyncUrb held(device_.pdo(), inFlight.get());
        ASSERT_EQ(held.send(), STATUS_PENDING);

        ASSERT_EQ(setDevicePower(device_.pdo(), state)->wait(), STATUS_SUCCESS);
        held.wait();
        EXPECT_EQ(held.status(), sim::usb::kStatusDevicePoweredOff);
        EXPECT_EQ(inFlight->Hdr.Status, USBD_STATUS_DEV_NOT_RESPONDING);
        auto later = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, buffer);
        EXPECT_EQ(submit(later.get()).status, sim::usb::kStatusDevicePoweredOff);
        EXPECT_EQ(submit(select).status, sim::usb::kStatusDevicePoweredOff);

        ASSERT_EQ(setDevicePower(device_.pdo(), PowerDeviceD0)->wait(), STATUS_SUCCESS);
        auto again = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, buffer);
        AsyncUrb resumed(device_.pdo(), again.get());
        ASSERT_EQ(resumed.send(), STATUS_PENDING);
        EXPECT_EQ(bus_.controller().releaseHeld(), 1u);
        EXPECT_EQ(resumed.status(), STATUS_SUCCESS);
    }
    ExFreePool(select);
}

TEST_F(PdoPowerTest, AWaitWakeFromThePowerManagerEndsWithRemoteWakeupOrACancel) {
    sim::usb::DeviceHost& host = *loopback_.host();
    EXPECT_FALSE(host.remoteWakeup()) << "nothing to wake";

    auto wake = system_.power().sendWaitWake(device_.pdo());
    ASSERT_TRUE(wake->wait(std::chrono::milliseconds(0)) == false);
    for (int i = 0; i < 1000 && !device_.waitWakePending(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(device_.waitWakePending());
    EXPECT_TRUE(host.remoteWakeup());
    ASSERT_TRUE(wake->wait());
    EXPECT_EQ(wake->status(), STATUS_SUCCESS);
    EXPECT_FALSE(wake->cancel()) << "back already";

    auto cancelled = system_.power().sendWaitWake(device_.pdo());
    for (int i = 0; i < 1000 && !device_.waitWakePending(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(cancelled->cancel());
    ASSERT_TRUE(cancelled->wait());
    EXPECT_EQ(cancelled->status(), STATUS_CANCELLED);
}

} // namespace
} // namespace wdmusb::test
