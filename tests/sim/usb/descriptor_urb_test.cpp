// GET_DESCRIPTOR_FROM_DEVICE and SELECT_CONFIGURATION against the loopback device.
#include "tests/sim/usb/usb_fixture.h"

namespace wdmusb::test {
namespace {

using DescriptorUrbTest = UsbBusTest;

TEST_F(DescriptorUrbTest, DeviceDescriptorIsCopiedWhole) {
    std::vector<std::uint8_t> buffer(18, 0xEE);
    auto urb = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, buffer);
    const SyncResult r = submit(urb.get());
    EXPECT_EQ(r.returned, STATUS_PENDING); // the default completion mode
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(urb->Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb->TransferBufferLength, 18u);
    EXPECT_EQ(buffer, LoopbackDevice::defaultDeviceDescriptor());
}

TEST_F(DescriptorUrbTest, ConfigurationReadCopiesTheSmallerOfAskedAndAvailable) {
    const auto full = LoopbackDevice::defaultConfigurationDescriptor();
    for (std::size_t asked : {std::size_t{9}, std::size_t{32}, std::size_t{521}}) {
        std::vector<std::uint8_t> buffer(asked, 0xEE);
        auto urb = descriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer);
        ASSERT_EQ(submit(urb.get()).status, STATUS_SUCCESS) << asked;
        const std::size_t copied = std::min(asked, full.size());
        EXPECT_EQ(urb->TransferBufferLength, copied) << asked;
        EXPECT_TRUE(std::equal(full.begin(), full.begin() + copied, buffer.begin())) << asked;
        EXPECT_TRUE(
            std::all_of(buffer.begin() + copied, buffer.end(), [](auto b) { return b == 0xEE; }))
            << "nothing written past the bytes copied, asked " << asked;
    }
}

TEST_F(DescriptorUrbTest, UnknownDescriptorTypeStalls) {
    std::vector<std::uint8_t> buffer(8);
    auto urb = descriptorUrb(USB_STRING_DESCRIPTOR_TYPE, buffer);
    EXPECT_EQ(submit(urb.get()).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb->Hdr.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(urb->TransferBufferLength, 0u);
}

} // namespace
} // namespace wdmusb::test
