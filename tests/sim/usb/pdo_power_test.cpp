// The bus PDO's power: scripted answers to set-power, the device's power state following what the
// PDO completed (a start bringing it to D0), and requests to a suspended device failing.
#include "sim/usb/status_map.h"
#include "tests/sim/power/power_fixture.h"
#include "tests/sim/usb/usb_fixture.h"

namespace wdmusb::test {
namespace {

using sim::usb::PowerAnswer;
using sim::usb::PowerReply;

using PdoPowerTest = UsbBusTest;

TEST_F(PdoPowerTest, SetPowerIsAnsweredAsScriptedAndTheStateFollowsSuccesses) {
    for (const PowerReply reply : {PowerReply::Now, PowerReply::Later, PowerReply::Held}) {
        for (const NTSTATUS status : {STATUS_SUCCESS, STATUS_IO_TIMEOUT}) {
            SCOPED_TRACE(std::to_string(int(reply)) + " " + std::to_string(status));
            ASSERT_EQ(sendAndWait(device_.pdo(), IRP_MJ_PNP, IRP_MN_START_DEVICE).Status,
                      STATUS_SUCCESS);
            EXPECT_EQ(device_.devicePowerState(), PowerDeviceD0) << "a start powers the device";
            PowerAnswer answer = PowerAnswer::setDevice(PowerDeviceD3).failWith(status);
            answer.reply = reply;
            device_.powerAnswers().add(answer);

            auto sent = sendPower(device_.pdo(), DevicePowerState, PowerDeviceD3);
            EXPECT_EQ(sent->returned, reply == PowerReply::Now ? status : STATUS_PENDING);
            if (reply == PowerReply::Held) {
                EXPECT_FALSE(sent->finished());
                EXPECT_EQ(device_.releasePower(), 1u);
            }
            EXPECT_EQ(sent->wait(), status);
            EXPECT_EQ(device_.suspended(), NT_SUCCESS(status));
        }
    }
}

// A transfer in flight when the device suspends ends, and every later request that must reach the
// device fails, until it is back in D0.
TEST_F(PdoPowerTest, RequestsToASuspendedDeviceFailAsOnASuspendedPort) {
    bus_.controller().setMode(UCHAR{0}, sim::usb::CompletionMode::Held); // the default pipe
    std::vector<std::uint8_t> buffer(18);
    auto inFlight = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, buffer);
    AsyncUrb held(device_.pdo(), inFlight.get());
    ASSERT_EQ(held.send(), STATUS_PENDING);

    ASSERT_EQ(sendPower(device_.pdo(), DevicePowerState, PowerDeviceD2)->wait(), STATUS_SUCCESS);
    held.wait();
    EXPECT_EQ(held.status(), sim::usb::kStatusDevicePoweredOff);
    EXPECT_EQ(inFlight->Hdr.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    auto later = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, buffer);
    EXPECT_EQ(submit(later.get()).status, sim::usb::kStatusDevicePoweredOff);

    ASSERT_EQ(sendPower(device_.pdo(), DevicePowerState, PowerDeviceD0)->wait(), STATUS_SUCCESS);
    bus_.controller().setMode(UCHAR{0}, sim::usb::CompletionMode::Inline);
    auto again = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, buffer);
    EXPECT_EQ(submit(again.get()).status, STATUS_SUCCESS);
}

} // namespace
} // namespace wdmusb::test
