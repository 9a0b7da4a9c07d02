// The driver through the application library, on the simulated loopback device: what each call
// does, and the errors an application meets as the platform gives them.
#include <array>
#include <chrono>
#include <thread>
#include <vector>

#include "public/wdmusb_api.h"
#include "sim/app/device_access.h"
#include "tests/driver/driver_on_bus.h"

// examples/hello_device.c's main, built for the tests under this name.
extern "C" int hello_device_main(void);

namespace wdmusb::test {
namespace {

class LibraryOnDriverTest : public DriverOnBusTest {
protected:
    WdmusbDevice* open() {
        WdmusbDevice* device = nullptr;
        EXPECT_EQ(WdmusbOpen(0, &device), DWORD{ERROR_SUCCESS});
        return device;
    }
    uint32_t moved_ = 0;
};

TEST_F(LibraryOnDriverTest, EachCallDoesWhatItSaysOnTheDevice) {
    sim::DeviceNode& node = plugAndStart();
    WdmusbDevice* device = open();
    EXPECT_EQ(WdmusbDevicePath(device), sim::app::devicePath(node));

    const char message[] = "through the library";
    std::array<char, sizeof message> back{};
    EXPECT_EQ(WdmusbWrite(device, message, sizeof message, 1000, &moved_), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(moved_, sizeof message);
    EXPECT_EQ(WdmusbRead(device, back.data(), sizeof message, 1000, &moved_), DWORD{ERROR_SUCCESS});
    EXPECT_STREQ(back.data(), message);

    const std::vector<std::uint8_t> expected = LoopbackDevice::defaultConfigurationDescriptor();
    uint32_t length = 0;
    EXPECT_EQ(WdmusbGetConfigurationDescriptor(device, nullptr, 0, &length),
              DWORD{ERROR_INSUFFICIENT_BUFFER});
    ASSERT_EQ(length, expected.size());
    std::vector<std::uint8_t> descriptor(length);
    EXPECT_EQ(WdmusbGetConfigurationDescriptor(device, descriptor.data(), length, &length),
              DWORD{ERROR_SUCCESS});
    EXPECT_EQ(descriptor, expected);

    const std::uint8_t data[4] = {1, 2, 3, 4};
    std::uint8_t read[4] = {};
    EXPECT_EQ(WdmusbVendorOut(device, 1, 0, 32, data, 4), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(WdmusbVendorIn(device, 1, 0, 32, read, 4), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(std::memcmp(read, data, 4), 0);
    EXPECT_EQ(WdmusbVendorIn(device, LoopbackDevice::kRequestStall, 0, 0, read, 4),
              DWORD{ERROR_GEN_FAILURE});
    EXPECT_EQ(WdmusbResetPort(device), DWORD{ERROR_SUCCESS});

    WdmusbDevice* second = nullptr;
    EXPECT_EQ(WdmusbOpen(0, &second), DWORD{ERROR_NO_SYSTEM_RESOURCES}) << "one handle at a time";
    WdmusbClose(device);
    EXPECT_TRUE(sim::app::waitForCloses(node, std::chrono::seconds(5)));
    WdmusbClose(open());
}

// A read waiting at a device with nothing to send, given up at its time-out or by WdmusbCancel
// from another thread (a Ctrl-C handler's call): the driver ends it at once, its transfer taken
// back from the bus, and the device takes the next request on the same handle.
TEST_F(LibraryOnDriverTest, AReadGivenUpEndsAtOnceAndTheDeviceTakesTheNextRequest) {
    const struct {
        const char* how;
        std::uint32_t timeoutMs;
        bool cancel;
        DWORD error;
    } cases[] = {
        {"time-out", 100, false, ERROR_SEM_TIMEOUT},
        {"WdmusbCancel", WDMUSB_NO_TIMEOUT, true, ERROR_OPERATION_ABORTED},
    };
    plugAndStart();
    WdmusbDevice* device = open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        std::thread canceller([&] {
            if (!c.cancel)
                return;
            EXPECT_TRUE(bus_.controller().waitForInFlight(1, LoopbackDevice::kInEndpoint));
            WdmusbCancel(device);
        });
        char buffer[16];
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(WdmusbRead(device, buffer, sizeof buffer, c.timeoutMs, &moved_), c.error);
        const auto took = std::chrono::steady_clock::now() - start;
        canceller.join();
        WdmusbResume(device);
        EXPECT_EQ(moved_, 0u);
        EXPECT_LT(took,
                  std::chrono::milliseconds(c.cancel ? 0 : c.timeoutMs) + std::chrono::seconds(1))
            << "the driver ended the cancelled read at once";
        EXPECT_EQ(bus_.controller().inFlightCount(), 0u) << "its transfer was cancelled";

        std::vector<std::uint8_t> written(65536), back(65536);
        for (std::size_t i = 0; i < written.size(); ++i)
            written[i] = static_cast<std::uint8_t>(i * 7 + 1);
        EXPECT_EQ(WdmusbWrite(device, written.data(), 65536, 1000, &moved_), DWORD{ERROR_SUCCESS});
        EXPECT_EQ(WdmusbRead(device, back.data(), 65536, 1000, &moved_), DWORD{ERROR_SUCCESS});
        EXPECT_EQ(moved_, 65536u);
        EXPECT_EQ(back, written);
    }
    WdmusbClose(device);
}

// The driver ends a read cut short by a surprise removal with success and no bytes; the library
// then asks the driver about the handle. The simulated bus fails the transfer as it unplugs the
// device, before the driver hears of the removal, so the question may still find the handle
// served (the library's side of it: LibraryTest.ASuccessThatMovedNothingIsChecked...); whichever
// way, no call after the read succeeds, and each says the device is going.
TEST_F(LibraryOnDriverTest, AReadCutShortByTheDevicesRemovalEndsAndTheNextCallSaysWhy) {
    sim::DeviceNode& node = plugAndStart();
    WdmusbDevice* device = open();
    std::uint32_t error = ERROR_SUCCESS;
    std::thread reader([&] {
        char buffer[16];
        error = WdmusbRead(device, buffer, sizeof buffer, WDMUSB_NO_TIMEOUT, &moved_);
    });
    ASSERT_TRUE(bus_.controller().waitForInFlight(1, LoopbackDevice::kInEndpoint));
    system_.pnp().surpriseRemove(node);
    reader.join();
    EXPECT_TRUE(error == ERROR_ACCESS_DENIED || error == ERROR_SUCCESS) << error;
    EXPECT_EQ(moved_, 0u);
    char buffer[16];
    EXPECT_EQ(WdmusbRead(device, buffer, sizeof buffer, 50, &moved_), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_NE(
        std::string(WdmusbErrorMessage(WdmusbCallRead, ERROR_ACCESS_DENIED)).find("being removed"),
        std::string::npos);
    WdmusbClose(device);
}

TEST_F(LibraryOnDriverTest, TheExampleProgramSendsItsMessageAndReadsItBack) {
    plugAndStart();
    testing::internal::CaptureStdout();
    const int status = hello_device_main();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, 0) << printed;
    EXPECT_NE(printed.find("sent and read back 14 bytes: hello, device\n"), std::string::npos)
        << printed;
}

} // namespace
} // namespace wdmusb::test
