// Configuring the device on start (descriptor reads, the select-configuration request, what is
// kept) and unconfiguring it on stop.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <utility>

#include "driver/counted_block.h"
#include "tests/driver/driver_on_bus.h"
#include "tests/support/application.h"
#include "tests/support/driver_build.h"
#include "usb/configuration.h"
#include "usb/pipe_marker.h"

namespace wdmusb::test {
namespace {

class ConfigurationTest : public DriverOnBusTest {
protected:
    // TransferBufferLength of each configuration-descriptor read, as submitted.
    std::vector<ULONG> configurationReads() const {
        std::vector<ULONG> reads;
        for (const auto& r : sent(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)) {
            const auto& request = r.submittedUrb().UrbControlDescriptorRequest;
            if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)
                reads.push_back(request.TransferBufferLength);
        }
        return reads;
    }

    std::size_t poolBlockBytes(const void* address) {
        const auto block = system_.pool().blockContaining(address);
        return block ? block->size : 0;
    }
};

TEST_F(ConfigurationTest, DescriptorRequestsCarryExactlyTheirFields) {
    sim::DeviceNode& node = plugAndStart();
    ASSERT_EQ(node.startStatus, STATUS_SUCCESS);
    const auto reads = sent(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    ASSERT_EQ(reads.size(), 2u);
    const UCHAR types[] = {USB_DEVICE_DESCRIPTOR_TYPE, USB_CONFIGURATION_DESCRIPTOR_TYPE};
    const ULONG lengths[] = {sizeof(USB_DEVICE_DESCRIPTOR), 521};
    for (std::size_t i = 0; i < reads.size(); ++i) {
        const auto& request = reads[i].submittedUrb().UrbControlDescriptorRequest;
        EXPECT_EQ(request.Hdr.Length, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
        EXPECT_EQ(request.DescriptorType, types[i]);
        EXPECT_EQ(request.TransferBufferLength, lengths[i]);
        EXPECT_EQ(request.TransferBufferMDL, nullptr);
        EXPECT_NE(request.TransferBuffer, nullptr);
        EXPECT_EQ(request.Index, 0);
        EXPECT_EQ(request.LanguageId, 0);
        EXPECT_EQ(request.UrbLink, nullptr);
    }
    PDEVICE_EXTENSION ext = extOf(node);
    ASSERT_NE(ext->DeviceDescriptor, nullptr);
    const auto device = LoopbackDevice::defaultDeviceDescriptor();
    EXPECT_EQ(std::memcmp(ext->DeviceDescriptor, device.data(), device.size()), 0);
}

// The first read is of 521 bytes; a descriptor announcing more is read again whole.
TEST_F(ConfigurationTest, ReadsTheWholeConfigurationDescriptorGrowingTheBufferOnlyWhenNeeded) {
    struct Case {
        std::size_t totalBytes;
        std::vector<ULONG> reads;
        std::size_t bufferBytes;
    };
    const Case cases[] = {{32, {521}, 521}, {521, {521}, 521}, {600, {521, 600}, 600}};
    for (const Case& c : cases) {
        recorder_.clear();
        const auto configuration = configurationOfLength(c.totalBytes);
        sim::DeviceNode& node = plugAndStart(deviceWithConfiguration(configuration));
        ASSERT_EQ(node.startStatus, STATUS_SUCCESS) << c.totalBytes << " bytes";
        EXPECT_EQ(configurationReads(), c.reads) << c.totalBytes << " bytes";
        PDEVICE_EXTENSION ext = extOf(node);
        ASSERT_NE(ext->ConfigurationDescriptor, nullptr);
        EXPECT_EQ(poolBlockBytes(ext->ConfigurationDescriptor), CountedBlockBytes(c.bufferBytes));
        EXPECT_EQ(std::memcmp(ext->ConfigurationDescriptor, configuration.data(), c.totalBytes), 0);
        EXPECT_TRUE(ext->Started);
    }
}

// Bytes the device did not send are never selected from nor kept.
TEST_F(ConfigurationTest, ADescriptorShorterThanItAnnouncesFailsTheStart) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> configuration;
        std::optional<ULONG> shortRead;
        std::vector<ULONG> reads;
    };
    const Case cases[] = {
        {"announces 40, sends 32", configurationOfLength(32, 40), std::nullopt, {521}},
        {"announces 600, sends 600 then 590", configurationOfLength(600), 590, {521, 600}},
        {"sends less than a header", configurationOfLength(32), 8, {521}},
        {"sends nothing", configurationOfLength(32), 0, {521}},
    };
    for (const Case& c : cases) {
        recorder_.clear();
        sim::DeviceNode& node = plug(deviceWithConfiguration(c.configuration));
        if (c.shortRead) {
            const unsigned nth = c.reads.size() == 2 ? 3 : 2; // after the device descriptor
            node.busDevice->faults().add(UrbFault::on(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
                                             .nth(nth)
                                             .completeShort(*c.shortRead));
        }
        EXPECT_EQ(system_.pnp().start(node), STATUS_DEVICE_DATA_ERROR) << c.what;
        EXPECT_EQ(configurationReads(), c.reads) << c.what;
        EXPECT_EQ(extOf(node)->ConfigurationDescriptor, nullptr) << c.what;
        EXPECT_FALSE(extOf(node)->Started) << c.what;
        EXPECT_TRUE(sent(URB_FUNCTION_SELECT_CONFIGURATION).empty()) << c.what;
    }
}

TEST_F(ConfigurationTest, AConfigurationWithoutInterfaceFailsTheStart) {
    const std::vector<std::uint8_t> headerOnly{
        9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, 0, 0, 1, 0, 0x80, 50};
    sim::DeviceNode& node = plugAndStart(deviceWithConfiguration(headerOnly));
    EXPECT_EQ(node.startStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(extOf(node)->Started);
    EXPECT_TRUE(sent(URB_FUNCTION_SELECT_CONFIGURATION).empty());
}

// A configuration the driver cannot move data with fails the start: refused by the bus (endpoints
// it cannot schedule at the device's speed), or by the driver (the first two pipes not a bulk or
// interrupt IN and OUT). Nothing is kept for an open, and the removal that follows leaves nothing.
TEST_F(ConfigurationTest, AConfigurationThatCannotMoveDataFailsTheStart) {
    const auto loopback = LoopbackDevice::defaultConfigurationDescriptor();
    // wMaxPacketSize, bEndpointAddress and bmAttributes of the first and second endpoint.
    constexpr std::size_t kSize[] = {22, 29}, kAddress[] = {20, 27}, kAttributes[] = {21, 28};
    struct Case {
        const char* what;
        std::function<void(std::vector<std::uint8_t>&)> edit;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"as it is", [](auto&) {}, STATUS_SUCCESS},
        {"bulk packets of 0", [&](auto& c) { c[kSize[0]] = c[kSize[0] + 1] = 0; },
         STATUS_INVALID_PARAMETER},
        {"full-speed packets at high speed",
         [&](auto& c) { c[kSize[1]] = 64, c[kSize[1] + 1] = 0; }, STATUS_INVALID_PARAMETER},
        {"OUT before IN", [&](auto& c) { std::swap(c[kAddress[0]], c[kAddress[1]]); },
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"an isochronous read pipe", [&](auto& c) { c[kAttributes[0]] = 0x01, c[24] = 1; },
         STATUS_DEVICE_CONFIGURATION_ERROR},
        {"an interrupt pair",
         [&](auto& c) { c[kAttributes[0]] = c[kAttributes[1]] = 0x03, c[24] = c[31] = 4; },
         STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto configuration = loopback;
        c.edit(configuration);
        sim::DeviceNode& node = plugAndStart(deviceWithConfiguration(configuration));
        EXPECT_EQ(node.startStatus, c.status);
        const PDEVICE_EXTENSION ext = extOf(node);
        EXPECT_EQ(ext->Started, NT_SUCCESS(c.status));
        EXPECT_EQ(ext->InterfaceInformation != nullptr, NT_SUCCESS(c.status));
        EXPECT_EQ(sent(URB_FUNCTION_SELECT_CONFIGURATION).size(), 1u);
        takeDown(node);
        EXPECT_EQ(driverBlocks(), 0u);
        recorder_.clear();
    }
}

TEST_F(ConfigurationTest, FailedDescriptorReadsFailTheStartWithTheirStatus) {
    for (unsigned nth : {1u, 2u}) {
        sim::DeviceNode& node = plug();
        node.busDevice->faults().add(
            UrbFault::on(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE)
                .nth(nth)
                .failWith(STATUS_IO_TIMEOUT, USBD_STATUS_DEV_NOT_RESPONDING));
        EXPECT_EQ(system_.pnp().start(node), STATUS_IO_TIMEOUT) << "read " << nth;
        PDEVICE_EXTENSION ext = extOf(node);
        EXPECT_FALSE(ext->Started);
        EXPECT_EQ(ext->DeviceDescriptor != nullptr, nth == 2) << "kept only when it was read";
    }
}

TEST_F(ConfigurationTest, TheSelectRequestLimitsEveryPipeTo4096BytesWithFlagsClear) {
    sim::DeviceNode& node = plugAndStart();
    ASSERT_EQ(node.startStatus, STATUS_SUCCESS);
    PDEVICE_EXTENSION ext = extOf(node);
    const auto selects = sent(URB_FUNCTION_SELECT_CONFIGURATION);
    ASSERT_EQ(selects.size(), 1u);
    const auto& select = selects[0].submittedUrb().UrbSelectConfiguration;
    EXPECT_EQ(select.ConfigurationDescriptor, ext->ConfigurationDescriptor);
    ASSERT_EQ(select.Interface.NumberOfPipes, 2u);
    EXPECT_EQ(select.Hdr.Length, offsetof(_URB_SELECT_CONFIGURATION, Interface) +
                                     offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                                     2 * sizeof(USBD_PIPE_INFORMATION));
    for (ULONG i = 0; i < 2; ++i) {
        EXPECT_EQ(select.Interface.Pipes[i].MaximumTransferSize, 4096u) << "pipe " << i;
        EXPECT_EQ(select.Interface.Pipes[i].PipeFlags, 0u) << "pipe " << i;
    }

    // What is kept: the handle and a copy of the interface with the pipe handles the bus issued.
    EXPECT_EQ(ext->ConfigurationHandle, node.busDevice->configurationHandle());
    const PUSBD_INTERFACE_INFORMATION kept = ext->InterfaceInformation;
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(poolBlockBytes(kept), CountedBlockBytes(kept->Length));
    ASSERT_EQ(kept->NumberOfPipes, 2u);
    EXPECT_EQ(kept->Pipes[0].EndpointAddress, LoopbackDevice::kInEndpoint);
    EXPECT_EQ(kept->Pipes[1].EndpointAddress, LoopbackDevice::kOutEndpoint);
    for (ULONG i = 0; i < 2; ++i) {
        EXPECT_NE(node.busDevice->findPipe(kept->Pipes[i].PipeHandle), nullptr) << "pipe " << i;
        EXPECT_FALSE(IsPipeBound(&kept->Pipes[i]));
    }
}

TEST_F(ConfigurationTest, AFailedSelectLeavesTheDeviceStopped) {
    sim::DeviceNode& node = plug();
    node.busDevice->faults().add(UrbFault::on(URB_FUNCTION_SELECT_CONFIGURATION)
                                     .failWith(STATUS_UNSUCCESSFUL, USBD_STATUS_INVALID_PARAMETER));
    EXPECT_EQ(system_.pnp().start(node), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(extOf(node)->Started);
    EXPECT_EQ(extOf(node)->InterfaceInformation, nullptr);
}

TEST_F(ConfigurationTest, UnconfigureSelectsNoConfigurationAndKeepsWhatStartRead) {
    SOURCE_BUILD_ONLY();
    sim::DeviceNode& node = plugAndStart();
    PDEVICE_OBJECT fdo = fdoOf(node);
    PDEVICE_EXTENSION ext = extOf(node);
    recorder_.clear();
    ext->StopPending = TRUE;

    EXPECT_EQ(UnconfigureDevice(fdo), STATUS_SUCCESS);
    EXPECT_FALSE(ext->Started);
    EXPECT_FALSE(ext->StopPending);
    EXPECT_FALSE(node.busDevice->configured());
    const auto selects = sent(URB_FUNCTION_SELECT_CONFIGURATION);
    ASSERT_EQ(selects.size(), 1u);
    EXPECT_EQ(selects[0].length, sizeof(_URB_SELECT_CONFIGURATION));
    EXPECT_EQ(selects[0].submittedUrb().UrbSelectConfiguration.ConfigurationDescriptor, nullptr);
    EXPECT_NE(ext->DeviceDescriptor, nullptr);
    EXPECT_NE(ext->ConfigurationDescriptor, nullptr);
    EXPECT_NE(ext->InterfaceInformation, nullptr);
}

TEST_F(ConfigurationTest, AFailedUnconfigureKeepsTheDeviceStartedAndClearsStopPending) {
    SOURCE_BUILD_ONLY();
    sim::DeviceNode& node = plugAndStart();
    PDEVICE_OBJECT fdo = fdoOf(node);
    PDEVICE_EXTENSION ext = extOf(node);

    node.busDevice->faults().add(UrbFault::on(URB_FUNCTION_SELECT_CONFIGURATION)
                                     .failWith(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
    ext->StopPending = TRUE;
    EXPECT_EQ(UnconfigureDevice(fdo), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(ext->Started);
    EXPECT_FALSE(ext->StopPending);

    system_.faults().failNthOfKind(sim::AllocKind::Pool, 1);
    ext->StopPending = TRUE;
    EXPECT_EQ(UnconfigureDevice(fdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(ext->Started);
    EXPECT_FALSE(ext->StopPending);
    EXPECT_TRUE(IsAcceptingRequests(fdo));
}

// A start after a stop replaces what the earlier start stored. The earlier interface copy is
// released too, unless a handle opened before the stop still holds its pipes.
TEST_F(ConfigurationTest, ARestartReplacesTheEarlierDescriptorsAndInterfaceCopy) {
    SOURCE_BUILD_ONLY();
    sim::DeviceNode& node = plugAndStart();
    PDEVICE_OBJECT fdo = fdoOf(node);
    PDEVICE_EXTENSION ext = extOf(node);
    const std::size_t blocksWhenStarted = driverBlocks();

    ASSERT_EQ(UnconfigureDevice(fdo), STATUS_SUCCESS);
    EXPECT_EQ(system_.pnp().start(node), STATUS_SUCCESS);
    EXPECT_TRUE(ext->Started);
    EXPECT_EQ(driverBlocks(), blocksWhenStarted) << "nothing of the first start is left over";

    // A handle holds both pipes across the next stop and start.
    const PUSBD_INTERFACE_INFORMATION held = ext->InterfaceInformation;
    AppHandle handle = openDevice(GUID_DEVINTERFACE_WDMUSB);
    ASSERT_TRUE(handle.valid());
    ASSERT_EQ(UnconfigureDevice(fdo), STATUS_SUCCESS);
    EXPECT_EQ(system_.pnp().start(node), STATUS_SUCCESS);
    EXPECT_NE(ext->InterfaceInformation, held);
    ASSERT_TRUE(system_.pool().blockContaining(held)) << "the handle's copy stays valid";
    EXPECT_TRUE(IsPipeBound(&held->Pipes[0]));
    EXPECT_EQ(driverBlocks(), blocksWhenStarted + 1);
    handle.close(); // lets the copy go
    EXPECT_EQ(driverBlocks(), blocksWhenStarted);
}

TEST_F(ConfigurationTest, WithoutMemoryForTheInterfaceCopyTheDeviceStartsWithoutOne) {
    // Find where the copy is allocated, then fail that allocation in a second start.
    sim::DeviceNode& first = plugAndStart();
    ASSERT_EQ(first.startStatus, STATUS_SUCCESS);
    // The kernel image's compiler folds KeepInterfaceCopy into its one caller: there the site
    // bears the caller's name.
    const std::string copier =
        sim::image::drivingImage() ? "SelectConfiguration" : "KeepInterfaceCopy";
    std::optional<sim::AllocationSite> copySite;
    for (const auto& site : system_.faults().sitesSeen())
        if (site.function == copier && site.kind == sim::AllocKind::Pool)
            copySite = site;
    ASSERT_TRUE(copySite);

    system_.faults().failSiteOnce(*copySite);
    sim::DeviceNode& node = plugAndStart();
    EXPECT_EQ(node.startStatus, STATUS_SUCCESS);
    EXPECT_TRUE(extOf(node)->Started);
    EXPECT_EQ(extOf(node)->InterfaceInformation, nullptr);
}

} // namespace
} // namespace wdmusb::test
