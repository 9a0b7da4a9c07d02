// An application on a simulated machine, written as it would be for Windows: it finds the device
// by its interface class, reads its configuration descriptor in the two steps the platform's
// convention asks for, moves data through the driver, and sends a vendor request whose buffer it
// got from VirtualAlloc. The machine's end finds nothing leaked or misused.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver/dispatch.h"
#include "public/wdmusb.h"
#include "sim/app/simulated_machine.h"
#include "sim/app/win32.h"
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

} // namespace
} // namespace wdmusb::test
