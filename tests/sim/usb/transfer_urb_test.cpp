// Bulk transfers, vendor requests and pipe requests against the loopback device.
#include <functional>

#include "sim/usb/scripted_faults.h"
#include "sim/usb/status_map.h"
#include "tests/sim/usb/usb_fixture.h"

namespace wdmusb::test {
namespace {

class TransferUrbTest : public UsbBusTest {
protected:
    void SetUp() override {
        const Selected s = selectConfiguration();
        in_ = s.pipes.at(0).PipeHandle;
        out_ = s.pipes.at(1).PipeHandle;
    }
    std::vector<std::uint8_t> bytes(std::size_t n, std::uint8_t first = 1) {
        std::vector<std::uint8_t> v(n);
        for (std::size_t i = 0; i < n; ++i)
            v[i] = static_cast<std::uint8_t>(first + i);
        return v;
    }
    USBD_PIPE_HANDLE in_ = nullptr;
    USBD_PIPE_HANDLE out_ = nullptr;
};

TEST_F(TransferUrbTest, BytesWrittenComeBackInOrderAcrossReads) {
    auto data = bytes(100);
    auto write = bulkUrb(out_, false, data);
    ASSERT_EQ(submit(write.get()).status, STATUS_SUCCESS);
    EXPECT_EQ(write->TransferBufferLength, 100u);

    std::vector<std::uint8_t> first(60), second(60);
    auto read1 = bulkUrb(in_, true, first);
    auto read2 = bulkUrb(in_, true, second);
    ASSERT_EQ(submit(read1.get()).status, STATUS_SUCCESS);
    ASSERT_EQ(submit(read2.get()).status, STATUS_SUCCESS);
    EXPECT_EQ(read1->TransferBufferLength, 60u);
    EXPECT_EQ(read2->TransferBufferLength, 40u) << "the rest, a short transfer";
    first.insert(first.end(), second.begin(), second.begin() + 40);
    EXPECT_EQ(first, data);
}

TEST_F(TransferUrbTest, ShortReadWithoutShortTransferOkIsAnError) {
    auto data = bytes(10);
    auto write = bulkUrb(out_, false, data);
    ASSERT_EQ(submit(write.get()).status, STATUS_SUCCESS);
    std::vector<std::uint8_t> buffer(64);
    auto read = bulkUrb(in_, true, buffer, /*shortOk=*/false);
    EXPECT_EQ(submit(read.get()).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read->Hdr.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(read->TransferBufferLength, 10u) << "the bytes that did move are reported";
}

TEST_F(TransferUrbTest, TransferThroughAnMdlOverPool) {
    constexpr ULONG kBytes = 4096;
    auto* pool = static_cast<std::uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, kBytes, kTestTag));
    for (ULONG i = 0; i < kBytes; ++i)
        pool[i] = static_cast<std::uint8_t>(i * 7);
    PMDL mdl = IoAllocateMdl(pool, kBytes, FALSE, FALSE, nullptr);
    std::vector<std::uint8_t> none;
    auto write = bulkUrb(out_, false, none);
    write->TransferBufferLength = kBytes;
    write->TransferBufferMDL = mdl;
    ASSERT_EQ(submit(write.get()).status, STATUS_SUCCESS);
    EXPECT_EQ(loopback_.queuedBytes(), kBytes);

    std::memset(pool, 0, kBytes);
    auto read = bulkUrb(in_, true, none);
    read->TransferBufferLength = kBytes;
    read->TransferBufferMDL = mdl;
    ASSERT_EQ(submit(read.get()).status, STATUS_SUCCESS);
    for (ULONG i = 0; i < kBytes; ++i)
        ASSERT_EQ(pool[i], static_cast<std::uint8_t>(i * 7)) << i;
    IoFreeMdl(mdl);
    ExFreePool(pool);
}

// Requests a bus driver refuses before anything moves: each gets its USB status and the IRP
// status the platform maps it to, and TransferBufferLength 0.
TEST_F(TransferUrbTest, InvalidTransfersAreRefused) {
    std::vector<std::uint8_t> buffer(16);
    struct Case {
        const char* name;
        std::function<void(_URB_BULK_OR_INTERRUPT_TRANSFER&)> spoil;
        USBD_STATUS usb;
    };
    const std::vector<Case> cases = {
        {"direction flag against an OUT pipe",
         [](auto& u) { u.TransferFlags |= USBD_TRANSFER_DIRECTION_IN; },
         USBD_STATUS_INVALID_PARAMETER},
        {"no buffer and no MDL", [](auto& u) { u.TransferBuffer = nullptr; },
         USBD_STATUS_INVALID_PARAMETER},
        {"unknown pipe handle", [](auto& u) { u.PipeHandle = &u; },
         USBD_STATUS_INVALID_PIPE_HANDLE},
        {"Hdr.Length short of the fixed part", [](auto& u) { u.Hdr.Length = sizeof(_URB_HEADER); },
         USBD_STATUS_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        auto urb = bulkUrb(out_, false, buffer);
        c.spoil(*urb);
        EXPECT_EQ(submit(urb.get()).status, STATUS_INVALID_PARAMETER) << c.name;
        EXPECT_EQ(urb->Hdr.Status, c.usb) << c.name;
    }
    EXPECT_EQ(loopback_.queuedBytes(), 0u);
}

TEST_F(TransferUrbTest, BufferRunningPastItsPoolBlockIsReportedAndRefused) {
    auto* pool = static_cast<std::uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag));
    std::vector<std::uint8_t> none;
    auto write = bulkUrb(out_, false, none);
    write->TransferBuffer = pool;
    write->TransferBufferLength = 64;
    EXPECT_EQ(submit(write.get()).status, STATUS_INVALID_PARAMETER);
    expectFinding(sim::Rule::ObjectMisuse, "runs past its pool block");
    ExFreePool(pool);
}

TEST_F(TransferUrbTest, UnknownUrbFunctionIsRefused) {
    UrbOf<_URB_HEADER> urb;
    urb->Length = sizeof(_URB_HEADER);
    urb->Function = 0x0031;
    EXPECT_EQ(submit(urb.get()).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->Status, USBD_STATUS_INVALID_URB_FUNCTION);
}

TEST_F(TransferUrbTest, VendorRequestsReadAndWriteTheDeviceMemory) {
    auto data = bytes(4, 0xA0);
    auto write = vendorUrb(false, 0x01, 0, 10, data);
    ASSERT_EQ(submit(write.get()).status, STATUS_SUCCESS);

    std::vector<std::uint8_t> none;
    auto poke = vendorUrb(false, 0x02, 0x55, 20, none); // no data stage: wValue's low byte
    ASSERT_EQ(submit(poke.get()).status, STATUS_SUCCESS);

    std::vector<std::uint8_t> back(11);
    auto read = vendorUrb(true, 0x01, 0, 10, back);
    ASSERT_EQ(submit(read.get()).status, STATUS_SUCCESS);
    EXPECT_EQ(read->TransferBufferLength, 11u);
    EXPECT_EQ(back, (std::vector<std::uint8_t>{0xA0, 0xA1, 0xA2, 0xA3, 0, 0, 0, 0, 0, 0, 0x55}));
}

TEST_F(TransferUrbTest, FailingVendorRequestsStall) {
    std::vector<std::uint8_t> four(4);
    auto stall = vendorUrb(true, LoopbackDevice::kRequestStall, 0, 0, four);
    EXPECT_EQ(submit(stall.get()).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stall->Hdr.Status, USBD_STATUS_STALL_PID);

    auto pastEnd = vendorUrb(true, 0x01, 0, LoopbackDevice::kMemoryBytes - 2, four);
    EXPECT_EQ(submit(pastEnd.get()).status, STATUS_UNSUCCESSFUL);

    std::vector<std::uint8_t> none;
    auto lengthWithoutBuffer = vendorUrb(false, 0x01, 0, 0, none);
    lengthWithoutBuffer->TransferBufferLength = 4;
    EXPECT_EQ(submit(lengthWithoutBuffer.get()).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(lengthWithoutBuffer->Hdr.Status, USBD_STATUS_INVALID_PARAMETER);
}

// The controller writes a transfer's length only when it served it, a failure included (a stall:
// nothing moved). A transfer the bus fails before that (the device suspended, its port disabled,
// the device gone) keeps the length the driver wrote: a driver that reads it back as the bytes
// moved counts its whole buffer.
TEST_F(TransferUrbTest, OnlyAServedTransferHasItsLengthWritten) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::function<void()> restore;
        NTSTATUS status;
        ULONG length;
    };
    const auto stallOnce = [this] {
        device_.faults().add(sim::usb::UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                                 .failWith(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
    };
    const auto resetPipe = [this] {
        auto reset = pipeUrb(URB_FUNCTION_RESET_PIPE, out_);
        EXPECT_EQ(submit(reset.get()).status, STATUS_SUCCESS);
    };
    const Case cases[] = {
        {"served", [] {}, [] {}, STATUS_SUCCESS, 16},
        {"stalled", stallOnce, resetPipe, STATUS_UNSUCCESSFUL, 0},
        {"suspended", [this] { device_.setDevicePower(PowerDeviceD2); },
         [this] { device_.setDevicePower(PowerDeviceD0); }, sim::usb::kStatusDevicePoweredOff, 16},
        {"port disabled", [this] { device_.setPortEnabled(false); },
         [this] { device_.resetPort(); }, STATUS_UNSUCCESSFUL, 16},
        {"device gone", [this] { device_.unplug(); }, [] {}, STATUS_DEVICE_NOT_CONNECTED, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.arrange();
        auto data = bytes(16);
        auto write = bulkUrb(out_, false, data);
        EXPECT_EQ(submit(write.get()).status, c.status);
        EXPECT_EQ(write->TransferBufferLength, c.length);
        c.restore();
    }
}

// A device that stalls its OUT endpoint once: the pipe stays halted until it is reset.
class StallOnceDevice : public LoopbackDevice {
public:
    sim::usb::TransferResult transfer(UCHAR endpoint, std::span<std::uint8_t> data) override {
        if (!USB_ENDPOINT_DIRECTION_IN(endpoint) && !stalled_.exchange(true))
            return sim::usb::TransferResult::error(USBD_STATUS_STALL_PID);
        ++served_;
        return LoopbackDevice::transfer(endpoint, data);
    }
    std::atomic<bool> stalled_{false};
    std::atomic<int> served_{0};
};

TEST_F(TransferUrbTest, AStalledPipeStaysHaltedUntilReset) {
    auto model = std::make_shared<StallOnceDevice>();
    auto& other = bus_.plug(model);
    // Select on the second device, with the same descriptors.
    auto config = LoopbackDevice::defaultConfigurationDescriptor();
    USHORT size = 0;
    PURB select = USBD_CreateConfigurationRequest(
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()), &size);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    const auto send = [&](PURB urb) {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, other.pdo(),
                                                 nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        if (IofCallDriver(other.pdo(), irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return iosb.Status;
    };
    ASSERT_EQ(send(select), STATUS_SUCCESS);
    USBD_PIPE_HANDLE out = select->UrbSelectConfiguration.Interface.Pipes[1].PipeHandle;
    ExFreePool(select);

    auto data = bytes(8);
    auto first = bulkUrb(out, false, data);
    EXPECT_EQ(send(first.get()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(first->Hdr.Status, USBD_STATUS_STALL_PID);
    auto second = bulkUrb(out, false, data);
    EXPECT_EQ(send(second.get()), STATUS_UNSUCCESSFUL) << "halted: the device is not asked";
    EXPECT_EQ(model->served_.load(), 0);

    auto reset = pipeUrb(URB_FUNCTION_RESET_PIPE, out);
    EXPECT_EQ(send(reset.get()), STATUS_SUCCESS);
    auto third = bulkUrb(out, false, data);
    EXPECT_EQ(send(third.get()), STATUS_SUCCESS);
    EXPECT_EQ(model->served_.load(), 1);
}

} // namespace
} // namespace wdmusb::test
