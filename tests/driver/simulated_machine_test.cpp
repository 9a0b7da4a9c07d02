// An application on a simulated machine, written as it would be for Windows: it finds the device
// by its interface class, reads its configuration descriptor in the two steps the platform's
// convention asks for, moves data through the driver, and sends a vendor request whose buffer it
// got from VirtualAlloc. The machine's end finds nothing leaked or misused.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/dispatch.h"
#include "public/wdmusb.h"
#include "sim/app/device_access.h"
#include "sim/app/simulated_machine.h"
#include "sim/app/win32.h"
#include "sim/usb/loopback_device.h"
#include "tests/support/application.h"

namespace wdmusb::test {
namespace {

TEST(SimulatedMachineTest, AnApplicationUsesTheDeviceThroughTheDriver) {
    sim::app::SimulatedMachine machine(DriverEntry);
    ASSERT_EQ(machine.driverEntryStatus(), STATUS_SUCCESS);
    ASSERT_EQ(machine.plugDevice().startStatus, STATUS_SUCCESS);

    const std::vector<std::string> paths = devicePaths(GUID_DEVINTERFACE_WDMUSB);
    ASSERT_EQ(paths.size(), 1u);
    HANDLE device = CreateFile(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);

    std::uint8_t header[9];
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, header,
                                 sizeof header, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MORE_DATA});
    std::vector<std::uint8_t> configuration(header[2] | header[3] << 8);
    EXPECT_TRUE(DeviceIoControl(device, IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0,
                                configuration.data(), static_cast<DWORD>(configuration.size()),
                                &bytes, nullptr));
    EXPECT_EQ(bytes, configuration.size());

    const char message[] = "through the driver and back";
    char back[sizeof message] = {};
    EXPECT_TRUE(WriteFile(device, message, sizeof message, &bytes, nullptr));
    EXPECT_TRUE(ReadFile(device, back, sizeof back, &bytes, nullptr));
    EXPECT_STREQ(back, message);

    auto* data = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 4, MEM_COMMIT, PAGE_READWRITE));
    std::memcpy(data, "\x01\x02\x03\x04", 4);
    VENDOR_REQUEST out{0x40, 0x10, 0, 32, 4, static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(data))};
    EXPECT_TRUE(DeviceIoControl(device, IOCTL_VENDOR_REQUEST, &out, sizeof out, nullptr, 0, &bytes,
                                nullptr));
    std::memset(data, 0, 4);
    VENDOR_REQUEST in = out;
    in.RequestType = 0xC0;
    EXPECT_TRUE(
        DeviceIoControl(device, IOCTL_VENDOR_REQUEST, &in, sizeof in, nullptr, 0, &bytes, nullptr));
    EXPECT_EQ(std::memcmp(data, "\x01\x02\x03\x04", 4), 0);
    VirtualFree(data, 0, MEM_RELEASE);

    // The handle is left open: the machine's end closes it, as the platform does at exit.
    for (const sim::Finding& finding : machine.finish())
        ADD_FAILURE() << sim::ruleName(finding.rule) << ": " << finding.message;
}

// What a test of an application asks beside its calls: the device's path, and when a close
// reached the driver (not before the handle's last request ended); a handle given up is left to
// the machine's end, which closes it as the platform does at a process's exit.
TEST(SimulatedMachineTest, ATestSeesTheDevicesPathItsClosesAndGivesUpHandles) {
    sim::app::SimulatedMachine machine(DriverEntry);
    sim::DeviceNode& node = machine.plugDevice();
    const std::string path = sim::app::devicePath(node);
    EXPECT_EQ(std::vector<std::string>{path}, devicePaths(GUID_DEVINTERFACE_WDMUSB));

    AppHandle device(CreateFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    ASSERT_TRUE(device.valid());
    char buffer[16];
    OVERLAPPED overlapped{};
    EXPECT_FALSE(ReadFile(device.get(), buffer, sizeof buffer, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    device.close();
    EXPECT_FALSE(sim::app::waitForCloses(node, std::chrono::milliseconds(50)))
        << "the close waits for the read in flight";
    EXPECT_EQ(sim::app::handlesNotClosed(node), 1);
    node.busDevice->modelAs<sim::usb::LoopbackDevice>().queueData(
        std::vector<std::uint8_t>(sizeof buffer, 7));
    EXPECT_TRUE(sim::app::waitForCloses(node, std::chrono::seconds(5)));

    AppHandle kept(CreateFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr));
    ASSERT_TRUE(kept.valid());
    const HANDLE released = kept.release();
    EXPECT_FALSE(kept.valid());
    EXPECT_EQ(sim::app::handlesNotClosed(node), 1) << "given up, not closed";
    EXPECT_NE(released, INVALID_HANDLE_VALUE);
    for (const sim::Finding& finding : machine.finish())
        ADD_FAILURE() << sim::ruleName(finding.rule) << ": " << finding.message;
    EXPECT_TRUE(sim::app::devicePath(node).empty()) << "removed: no interface enabled";
}

} // namespace
} // namespace wdmusb::test
