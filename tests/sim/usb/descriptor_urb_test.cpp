// GET_DESCRIPTOR_FROM_DEVICE and SELECT_CONFIGURATION against the loopback device.
#include <optional>

#include "sim/usb/descriptor_device.h"
#include "sim/usb/status_map.h"
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

namespace wdmusb::test {
namespace {

using SelectConfigurationTest = UsbBusTest;

TEST_F(SelectConfigurationTest, FillsHandlesAndPipesFromTheDescriptors) {
    const Selected s = selectConfiguration();
    EXPECT_NE(s.configuration, nullptr);
    EXPECT_NE(s.interface.InterfaceHandle, nullptr);
    EXPECT_EQ(s.interface.Class, 0xFF);
    ASSERT_EQ(s.pipes.size(), 2u);
    EXPECT_EQ(s.pipes[0].EndpointAddress, LoopbackDevice::kInEndpoint);
    EXPECT_EQ(s.pipes[1].EndpointAddress, LoopbackDevice::kOutEndpoint);
    for (const auto& p : s.pipes) {
        EXPECT_NE(p.PipeHandle, nullptr);
        EXPECT_EQ(p.PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(p.MaximumPacketSize, LoopbackDevice::kMaxPacketBytes);
        EXPECT_EQ(p.MaximumTransferSize, ULONG{USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE}) << "kept";
    }
    EXPECT_NE(s.pipes[0].PipeHandle, s.pipes[1].PipeHandle);
    EXPECT_EQ(device_.configurationValue(), LoopbackDevice::kConfigurationValue);
}

TEST_F(SelectConfigurationTest, HandlesOfAnEarlierConfigurationAreStale) {
    const Selected first = selectConfiguration();
    const Selected second = selectConfiguration();
    EXPECT_NE(first.pipes[0].PipeHandle, second.pipes[0].PipeHandle);

    std::vector<std::uint8_t> data(4, 1);
    auto stale = bulkUrb(first.pipes[1].PipeHandle, false, data);
    EXPECT_EQ(submit(stale.get()).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale->Hdr.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(stale->TransferBufferLength, 4u) << "refused unserved: the length stays the driver's";

    auto fresh = bulkUrb(second.pipes[1].PipeHandle, false, data);
    EXPECT_EQ(submit(fresh.get()).status, STATUS_SUCCESS);
}

TEST_F(SelectConfigurationTest, UnconfigureMakesEveryHandleStale) {
    const Selected s = selectConfiguration();
    UrbOf<_URB_SELECT_CONFIGURATION> unconfigure;
    unconfigure->Hdr.Length = sizeof(_URB_SELECT_CONFIGURATION);
    unconfigure->Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    EXPECT_EQ(submit(unconfigure.get()).status, STATUS_SUCCESS);
    EXPECT_FALSE(device_.configured());

    auto reset = pipeUrb(URB_FUNCTION_RESET_PIPE, s.pipes[0].PipeHandle);
    EXPECT_EQ(submit(reset.get()).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reset->Hdr.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

// Each malformed request is refused with USBD_STATUS_INVALID_PARAMETER and changes nothing.
TEST_F(SelectConfigurationTest, MalformedRequestsAreRefused) {
    struct Case {
        const char* name;
        std::function<void(URB&)> spoil;
    };
    const std::vector<Case> cases = {
        {"Hdr.Length below the fixed part",
         [](URB& u) { u.UrbHeader.Length = sizeof(_URB_SELECT_CONFIGURATION) - 1; }},
        {"record Length too short for its pipes",
         [](URB& u) {
             u.UrbSelectConfiguration.Interface.Length -= sizeof(USBD_PIPE_INFORMATION);
         }},
        {"record running past Hdr.Length",
         [](URB& u) { u.UrbSelectConfiguration.Interface.Length += 64; }},
        {"NumberOfPipes not the interface's endpoints",
         [](URB& u) { u.UrbSelectConfiguration.Interface.NumberOfPipes = 1; }},
        {"an interface the configuration lacks",
         [](URB& u) { u.UrbSelectConfiguration.Interface.InterfaceNumber = 3; }},
        {"a configuration value the device lacks",
         [](URB& u) { u.UrbSelectConfiguration.ConfigurationDescriptor->bConfigurationValue = 7; }},
    };
    for (const auto& c : cases) {
        auto config = LoopbackDevice::defaultConfigurationDescriptor();
        auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
        USHORT size = 0;
        PURB urb = USBD_CreateConfigurationRequest(descriptor, &size);
        c.spoil(*urb);
        const SyncResult r = submit(urb);
        EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << c.name;
        EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER) << c.name;
        EXPECT_EQ(urb->UrbSelectConfiguration.Interface.Pipes[0].PipeHandle, nullptr) << c.name;
        EXPECT_FALSE(device_.configured()) << c.name;
        ExFreePool(urb);
    }
}

} // namespace
} // namespace wdmusb::test

namespace wdmusb::test {
namespace {

using sim::usb::DescriptorDevice;

// A 600-byte configuration: the loopback's interface and endpoints, then vendor-specific
// descriptors (USB 2.0, 9.5: unknown types are skipped by whoever parses the set).
std::vector<std::uint8_t> largeConfiguration() {
    auto d = LoopbackDevice::defaultConfigurationDescriptor();
    while (d.size() < 600) {
        const std::size_t piece = std::min<std::size_t>(255, 600 - d.size());
        d.push_back(static_cast<std::uint8_t>(piece));
        d.push_back(0x41);
        d.resize(d.size() + piece - 2, 0x77);
    }
    d[2] = static_cast<std::uint8_t>(600 & 0xFF);
    d[3] = static_cast<std::uint8_t>(600 >> 8);
    return d;
}

class DescriptorDeviceTest : public UsbBusTest {
protected:
    SyncResult submitTo(PDEVICE_OBJECT pdo, PURB urb) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0,
                                                 nullptr, 0, TRUE, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        SyncResult r;
        r.returned = IofCallDriver(pdo, irp);
        if (r.returned == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        r.status = r.returned == STATUS_PENDING ? iosb.Status : r.returned;
        return r;
    }
};

TEST_F(DescriptorDeviceTest, ALargeConfigurationIsReadInPartsAndSelected) {
    const auto config = largeConfiguration();
    auto& large = bus_.plug(
        std::make_shared<DescriptorDevice>(LoopbackDevice::defaultDeviceDescriptor(), config));

    std::vector<std::uint8_t> first(521);
    auto read = descriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, first);
    ASSERT_EQ(submitTo(large.pdo(), read.get()).status, STATUS_SUCCESS);
    EXPECT_EQ(read->TransferBufferLength, 521u);

    std::vector<std::uint8_t> whole(600);
    auto again = descriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, whole);
    ASSERT_EQ(submitTo(large.pdo(), again.get()).status, STATUS_SUCCESS);
    EXPECT_EQ(whole, config);

    USHORT size = 0;
    PURB select = USBD_CreateConfigurationRequest(
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(whole.data()), &size);
    EXPECT_EQ(submitTo(large.pdo(), select).status, STATUS_SUCCESS);
    EXPECT_EQ(select->UrbSelectConfiguration.Interface.NumberOfPipes, 2u);
    EXPECT_NE(select->UrbSelectConfiguration.Interface.Pipes[1].PipeHandle, nullptr);
    ExFreePool(select);
}

TEST_F(DescriptorDeviceTest, AnInterfaceWithMissingEndpointsCannotBeSelected) {
    // bNumEndpoints says 2, only one endpoint descriptor follows.
    std::vector<std::uint8_t> config = {9, 2,    25, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0,
                                        2, 0xFF, 0,  0, 0, 7, 5, 0x81, 2,  0, 2, 0};
    auto& broken = bus_.plug(
        std::make_shared<DescriptorDevice>(LoopbackDevice::defaultDeviceDescriptor(), config));
    USHORT size = 0;
    PURB select = USBD_CreateConfigurationRequest(
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()), &size);
    EXPECT_EQ(submitTo(broken.pdo(), select).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(select->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(broken.configured());
    ExFreePool(select);
}

// The loopback's configuration with both bulk endpoints of `packetBytes`.
std::vector<std::uint8_t> bulkPacketsOf(USHORT packetBytes) {
    auto config = LoopbackDevice::defaultConfigurationDescriptor();
    for (const std::size_t sizeAt : {22u, 29u}) { // wMaxPacketSize of the two endpoints
        config[sizeAt] = static_cast<std::uint8_t>(packetBytes & 0xFF);
        config[sizeAt + 1] = static_cast<std::uint8_t>(packetBytes >> 8);
    }
    return config;
}

// A select-configuration whose endpoints the host controller cannot schedule at the device's
// speed is refused, and nothing is configured; the speed is the one given, or the one the device
// descriptor's USB release suggests.
TEST_F(DescriptorDeviceTest, EndpointsTheControllerCannotScheduleFailTheSelect) {
    auto usb11 = LoopbackDevice::defaultDeviceDescriptor();
    usb11[2] = 0x10; // bcdUSB 1.10
    usb11[3] = 0x01;
    struct Case {
        const char* what;
        std::vector<std::uint8_t> device;
        USHORT packetBytes;
        std::optional<sim::usb::UsbSpeed> speed;
        NTSTATUS status;
        USBD_STATUS usbStatus;
    };
    const Case cases[] = {
        {"USB 2.0, 512-byte bulk",
         LoopbackDevice::defaultDeviceDescriptor(),
         512,
         {},
         STATUS_SUCCESS,
         USBD_STATUS_SUCCESS},
        {"USB 2.0, 64-byte bulk",
         LoopbackDevice::defaultDeviceDescriptor(),
         64,
         {},
         STATUS_INVALID_PARAMETER,
         sim::usb::kUsbdBadEndpointDescriptor},
        {"USB 2.0 at full speed, 64-byte bulk", LoopbackDevice::defaultDeviceDescriptor(), 64,
         sim::usb::UsbSpeed::Full, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {"USB 1.1, 64-byte bulk", usb11, 64, {}, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {"USB 1.1, 512-byte bulk",
         usb11,
         512,
         {},
         STATUS_INVALID_PARAMETER,
         sim::usb::kUsbdBadEndpointDescriptor},
        {"USB 2.0, bulk of 0",
         LoopbackDevice::defaultDeviceDescriptor(),
         0,
         {},
         STATUS_INVALID_PARAMETER,
         sim::usb::kUsbdBadEndpointDescriptor},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto config = bulkPacketsOf(c.packetBytes);
        auto& device = bus_.plug(std::make_shared<DescriptorDevice>(c.device, config, c.speed));
        USHORT size = 0;
        PURB select = USBD_CreateConfigurationRequest(
            reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()), &size);
        EXPECT_EQ(submitTo(device.pdo(), select).status, c.status);
        EXPECT_EQ(select->UrbHeader.Status, c.usbStatus);
        EXPECT_EQ(device.configured(), NT_SUCCESS(c.status));
        ExFreePool(select);
    }
}

// The bus may outlive the System (a tool that tears down out of order): the System's shutdown
// stops the controller and deletes the PDOs, and the bus's own end does nothing more.
TEST(BusLifetimeTest, TheSystemStopsABusThatOutlivesIt) {
    std::unique_ptr<sim::usb::BusDriver> bus;
    {
        sim::System system;
        bus = std::make_unique<sim::usb::BusDriver>();
        bus->plug();
    }
    EXPECT_TRUE(bus->devices().empty());
    bus.reset();
}

} // namespace
} // namespace wdmusb::test
