// The control codes: the configuration descriptor, port recovery, vendor requests, and what is
// refused; each request ends with its own status.
#include <chrono>

#include "tests/driver/client_fixture.h"
#include "tests/support/test_driver.h"
#include "usb/bus_request.h"

namespace wdmusb::test {
namespace {

class DeviceControlTest : public ClientTest {
protected:
    void TearDown() override {
        if (data_ != nullptr)
            VirtualFree(data_, 0, MEM_RELEASE);
        ClientTest::TearDown();
    }
    // A buffer of the application's user space, for a record's Buffer.
    std::uint8_t* data() {
        if (data_ == nullptr)
            data_ =
                static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
        return data_;
    }
    static ULONG address(const void* p) {
        return static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(p));
    }
    Outcome vendor(VENDOR_REQUEST request, DWORD inputLength = sizeof(VENDOR_REQUEST)) {
        return control(IOCTL_VENDOR_REQUEST, &request, inputLength, nullptr, 0);
    }
    std::vector<sim::usb::UrbRecord> vendorUrbs() const { return sent(URB_FUNCTION_VENDOR_DEVICE); }

    std::uint8_t* data_ = nullptr;
};

// wTotalLength bytes exactly; a shorter buffer gets what fits and ERROR_MORE_DATA.
TEST_F(DeviceControlTest, TheConfigurationDescriptorComesBackAsFarAsTheBufferHolds) {
    const auto configuration = configurationOfLength(600);
    startAndOpen(deviceWithConfiguration(configuration));
    struct Case {
        DWORD room;
        DWORD returned;
        DWORD error;
    };
    for (const Case c : {Case{1024, 600, ERROR_SUCCESS}, Case{600, 600, ERROR_SUCCESS},
                         Case{9, 9, ERROR_MORE_DATA}, Case{0, 0, ERROR_MORE_DATA}}) {
        SCOPED_TRACE("room " + std::to_string(c.room));
        std::vector<std::uint8_t> out(1024, 0xEE);
        const Outcome result =
            control(IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, out.data(), c.room);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.bytes, c.returned);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + c.returned, configuration.begin()));
        EXPECT_EQ(out[c.returned], 0xEE);
    }
}

TEST_F(DeviceControlTest, VendorRequestsGoOutAsAskedAndTheirDataLands) {
    startAndOpen();
    const std::uint8_t memory[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    loopback().setMemory(16, memory);

    // IN, 4 bytes from memory offset 16 into the application's buffer.
    ASSERT_EQ(vendor({0xC0, 0x01, 0, 16, 4, address(data())}).error, DWORD{ERROR_SUCCESS});
    EXPECT_TRUE(std::equal(memory, memory + 4, data()));
    // OUT without data stage: the device stores wValue's low byte at wIndex; only bit 7 of the
    // request type counts, so 0x7F goes out as OUT as well.
    for (const UCHAR type : {UCHAR{0x40}, UCHAR{0x7F}}) {
        recorder_.clear();
        ASSERT_EQ(vendor({type, 0x02, 0x0055, 7, 0, 0}).error, DWORD{ERROR_SUCCESS});
        const auto urbs = vendorUrbs(); // kept: the URB below is a view into it
        ASSERT_EQ(urbs.size(), 1u);
        const auto& urb = urbs[0].submittedUrb().UrbControlVendorClassRequest;
        EXPECT_EQ(urb.TransferFlags, 0u);
        EXPECT_EQ(urb.TransferBufferLength, 0u);
        EXPECT_EQ(urb.TransferBufferMDL, nullptr);
        EXPECT_EQ(urb.Request, 0x02);
        EXPECT_EQ(urb.Index, 7);
        EXPECT_EQ(loopback().memory()[7], 0x55);
    }
}

// Refused before anything reaches the bus: a short record, a data stage without a buffer, and a
// buffer that cannot be locked for reading and writing.
TEST_F(DeviceControlTest, BadVendorRecordsAndBuffersAreRefusedWithNothingSent) {
    startAndOpen();
    auto* readOnly =
        static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READONLY));
    struct Case {
        const char* what;
        VENDOR_REQUEST request;
        DWORD inputLength;
        DWORD error;
    };
    const Case cases[] = {
        {"a record of 11 bytes", {0xC0, 1, 0, 0, 4, address(data())}, 11, ERROR_INVALID_PARAMETER},
        {"Buffer 0 with a length", {0xC0, 1, 0, 0, 4, 0}, 12, ERROR_INVALID_PARAMETER},
        {"an unmapped address", {0xC0, 1, 0, 0, 4, 0x7FFE0000}, 12, ERROR_NOACCESS},
        {"a read-only buffer for data in",
         {0xC0, 1, 0, 0, 4, address(readOnly)},
         12,
         ERROR_NOACCESS},
        {"a read-only buffer for data out",
         {0x40, 1, 0, 0, 4, address(readOnly)},
         12,
         ERROR_NOACCESS},
        {"a kernel address", {0x40, 1, 0, 0, 4, 0x80001000}, 12, ERROR_NOACCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        recorder_.clear();
        EXPECT_EQ(vendor(c.request, c.inputLength).error, c.error);
        EXPECT_TRUE(vendorUrbs().empty());
    }
    VirtualFree(readOnly, 0, MEM_RELEASE);
}

// A failed vendor request or port recovery fails the request itself: an overlapped caller, which
// only reads the status block, sees the failure too.
TEST_F(DeviceControlTest, EachCodeEndsWithItsOwnStatus) {
    startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
    VENDOR_REQUEST stall{0x40, LoopbackDevice::kRequestStall, 0, 0, 0, 0};
    OVERLAPPED overlapped{};
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(handle_.get(), IOCTL_VENDOR_REQUEST, &stall, sizeof stall, nullptr, 0,
                              &bytes, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(handle_.get(), &overlapped, &bytes, TRUE);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_GEN_FAILURE});
    EXPECT_NE(overlapped.Internal, ULONG_PTR{0}) << "the status block says it failed";

    node_->busDevice->setPortEnabled(false);
    ok = DeviceIoControl(handle_.get(), IOCTL_RESET_DEVICE, nullptr, 0, nullptr, 0, &bytes,
                         &overlapped);
    EXPECT_TRUE(ok);
    EXPECT_EQ(node_->busDevice->portResets(), 1u);
    ok = DeviceIoControl(handle_.get(), 0x220008, nullptr, 0, nullptr, 0, &bytes, &overlapped);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER}) << "function 2 has no code";
}

// A control transfer the device never answers (it NAKs for ever) is given up after the driver's
// bound: a vendor request ends with ERROR_SEM_TIMEOUT (STATUS_IO_TIMEOUT), and the device then
// answers the next vendor request and moves data; a start whose descriptor read is never answered
// fails with STATUS_IO_TIMEOUT.
TEST_F(DeviceControlTest, AControlTransferTheDeviceNeverAnswersIsGivenUpAfterTheBound) {
    const auto bound = std::chrono::milliseconds(WDMUSB_CONTROL_TRANSFER_TIMEOUT_MS);
    const auto never = UrbFault::on(URB_FUNCTION_VENDOR_DEVICE).neverComplete();
    startAndOpen();
    node_->busDevice->faults().add(never);
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(vendor({0xC0, 0x01, 0, 16, 4, address(data())}).error, DWORD{ERROR_SEM_TIMEOUT});
    const auto took = std::chrono::steady_clock::now() - sent;
    EXPECT_GE(took, bound);
    EXPECT_LT(took, bound + std::chrono::seconds(1));
    EXPECT_EQ(bus_.controller().inFlightCount(), 0u) << "the transfer was cancelled";
    const std::uint8_t memory[4] = {1, 2, 3, 4};
    loopback().setMemory(16, memory);
    ASSERT_EQ(vendor({0xC0, 0x01, 0, 16, 4, address(data())}).error, DWORD{ERROR_SUCCESS});
    EXPECT_TRUE(std::equal(memory, memory + 4, data()));
    std::vector<std::uint8_t> out(65536, 0x6B), in(65536);
    EXPECT_EQ(write(out.data(), 65536).bytes, 65536u);
    EXPECT_EQ(read(in.data(), 65536).bytes, 65536u);
    EXPECT_EQ(in, out);

    sim::DeviceNode& silent = plug();
    silent.busDevice->faults().add(
        UrbFault::on(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).neverComplete());
    EXPECT_EQ(system_.pnp().start(silent), STATUS_IO_TIMEOUT);
}

// Every code is refused with STATUS_DELETE_PENDING (ERROR_ACCESS_DENIED) before the start and
// while a stop is pending.
TEST_F(DeviceControlTest, EveryCodeIsRefusedBeforeStartAndAfterQueryStop) {
    const ULONG codes[] = {IOCTL_GET_CONFIGURATION_DESCRIPTOR, IOCTL_RESET_DEVICE,
                           IOCTL_VENDOR_REQUEST, 0x220010};
    startAndOpen();
    ASSERT_EQ(system_.pnp().queryStop(*node_), STATUS_SUCCESS);
    for (const ULONG code : codes)
        EXPECT_EQ(control(code, nullptr, 0, nullptr, 0).error, DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(system_.pnp().cancelStop(*node_), STATUS_SUCCESS);

    sim::DeviceNode& unstarted = plug(); // no handle can be opened: the request goes straight
    for (const ULONG code : codes) {
        NTSTATUS returned = STATUS_SUCCESS;
        const IO_STATUS_BLOCK result = sendAndWait(
            fdoOf(unstarted), IRP_MJ_DEVICE_CONTROL, 0,
            [code](PIRP, PIO_STACK_LOCATION s) {
                s->Parameters.DeviceIoControl.IoControlCode = code;
            },
            &returned);
        EXPECT_EQ(result.Status, STATUS_DELETE_PENDING) << std::hex << code;
        EXPECT_EQ(returned, STATUS_DELETE_PENDING);
    }
}

} // namespace
} // namespace wdmusb::test
