// Scripted faults: a chosen URB fails, ends short, never ends, refuses cancellation, or takes
// the port down.
#include "sim/usb/urb_recorder.h"
#include "tests/sim/usb/usb_fixture.h"
#include "tests/support/completion_mode_name.h"

namespace wdmusb::test {
namespace {

using sim::usb::CompletionMode;
using sim::usb::UrbFault;

class ScriptedFaultsTest : public UsbBusTest {
protected:
    void SetUp() override {
        const Selected s = selectConfiguration();
        in_ = s.pipes.at(0).PipeHandle;
        out_ = s.pipes.at(1).PipeHandle;
    }
    USBD_PIPE_HANDLE in_ = nullptr;
    USBD_PIPE_HANDLE out_ = nullptr;
    std::vector<std::uint8_t> data_ = std::vector<std::uint8_t>(32, 0x11);
};

TEST_F(ScriptedFaultsTest, IrpAndUsbStatusAreSetIndependently) {
    device_.faults().add(UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                             .failWith(STATUS_SUCCESS, USBD_STATUS_STALL_PID));
    device_.faults().add(UrbFault::on(URB_FUNCTION_VENDOR_DEVICE)
                             .failWith(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_SUCCESS));
    auto write = bulkUrb(out_, false, data_);
    EXPECT_EQ(submit(write.get()).status, STATUS_SUCCESS);
    EXPECT_EQ(write->Hdr.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(write->TransferBufferLength, 0u);
    EXPECT_EQ(loopback_.queuedBytes(), 0u) << "the device never saw it";

    std::vector<std::uint8_t> none;
    auto vendor = vendorUrb(false, 1, 0, 0, none);
    EXPECT_EQ(submit(vendor.get()).status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(vendor->Hdr.Status, USBD_STATUS_SUCCESS);
}

TEST_F(ScriptedFaultsTest, OrdinalAndEndpointPickTheUrb) {
    device_.faults().add(UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                             .endpoint(LoopbackDevice::kOutEndpoint)
                             .nth(2)
                             .failWith(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
    std::vector<NTSTATUS> results;
    for (int i = 0; i < 3; ++i) {
        auto write = bulkUrb(out_, false, data_);
        results.push_back(submit(write.get()).status);
        std::vector<std::uint8_t> back(32);
        auto read = bulkUrb(in_, true, back); // IN URBs do not count against the fault
        if (results.back() == STATUS_SUCCESS) {
            EXPECT_EQ(submit(read.get()).status, STATUS_SUCCESS);
        } else { // the error halted the endpoint
            auto reset = pipeUrb(URB_FUNCTION_RESET_PIPE, out_);
            EXPECT_EQ(submit(reset.get()).status, STATUS_SUCCESS);
        }
    }
    EXPECT_EQ(results,
              (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_SUCCESS}));
    EXPECT_EQ(device_.faults().fired(), 1u);
}

// A scripted stall halts its endpoint, as the device's own does, however the controller completes
// transfers: until the pipe is reset, every transfer on it fails without reaching the device.
class ScriptedStallTest : public ScriptedFaultsTest,
                          public ::testing::WithParamInterface<CompletionMode> {
protected:
    NTSTATUS write() {
        auto urb = bulkUrb(out_, false, data_);
        AsyncUrb call(device_.pdo(), urb.get());
        call.send();
        if (GetParam() == CompletionMode::Held)
            bus_.controller().releaseHeld();
        call.wait();
        return call.status();
    }
};

TEST_P(ScriptedStallTest, HaltsTheEndpointUntilThePipeIsReset) {
    bus_.controller().setMode(GetParam());
    device_.faults().add(UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                             .endpoint(LoopbackDevice::kOutEndpoint)
                             .failWith(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
    EXPECT_EQ(write(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(write(), STATUS_UNSUCCESSFUL) << "halted";
    EXPECT_EQ(loopback_.queuedBytes(), 0u);
    auto reset = pipeUrb(URB_FUNCTION_RESET_PIPE, out_);
    EXPECT_EQ(submit(reset.get()).status, STATUS_SUCCESS);
    EXPECT_EQ(write(), STATUS_SUCCESS);
    EXPECT_EQ(loopback_.queuedBytes(), data_.size());
}

INSTANTIATE_TEST_SUITE_P(Modes, ScriptedStallTest,
                         ::testing::Values(CompletionMode::Inline, CompletionMode::Thread,
                                           CompletionMode::Held),
                         completionModeName);

TEST_F(ScriptedFaultsTest, CompleteShortMovesOnlyPartOfTheData) {
    device_.faults().add(UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                             .endpoint(LoopbackDevice::kInEndpoint)
                             .completeShort(5));
    auto write = bulkUrb(out_, false, data_);
    ASSERT_EQ(submit(write.get()).status, STATUS_SUCCESS);
    std::vector<std::uint8_t> back(32);
    auto read = bulkUrb(in_, true, back);
    EXPECT_EQ(submit(read.get()).status, STATUS_SUCCESS);
    EXPECT_EQ(read->TransferBufferLength, 5u);
    EXPECT_EQ(loopback_.queuedBytes(), 27u);
}

TEST_F(ScriptedFaultsTest, NeverCompleteUntilAborted) {
    device_.faults().add(UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).neverComplete());
    bus_.controller().setMode(sim::usb::CompletionMode::Inline);
    auto write = bulkUrb(out_, false, data_);
    AsyncUrb stuck(device_.pdo(), write.get());
    EXPECT_EQ(stuck.send(), STATUS_PENDING);
    EXPECT_EQ(bus_.controller().releaseHeld(), 0u) << "not held: stuck";
    EXPECT_FALSE(stuck.completed());

    auto abort = pipeUrb(URB_FUNCTION_ABORT_PIPE, out_);
    EXPECT_EQ(submit(abort.get()).status, STATUS_SUCCESS);
    ASSERT_TRUE(stuck.completed());
    EXPECT_EQ(stuck.status(), STATUS_CANCELLED);
}

TEST_F(ScriptedFaultsTest, RefusedCancellationLeavesTheTransferRunning) {
    device_.faults().add(UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).refuseCancel());
    std::vector<std::uint8_t> back(32);
    auto read = bulkUrb(in_, true, back);
    AsyncUrb pending(device_.pdo(), read.get());
    ASSERT_EQ(pending.send(), STATUS_PENDING);
    ASSERT_TRUE(bus_.controller().waitForInFlight(1));
    EXPECT_FALSE(pending.cancel());
    EXPECT_FALSE(pending.completed());

    loopback_.queueData(data_);
    pending.wait();
    EXPECT_EQ(pending.status(), STATUS_SUCCESS);
    EXPECT_EQ(back, data_);
}

TEST_F(ScriptedFaultsTest, DisablePortFailsTheUrbAndWhatIsInFlight) {
    std::vector<std::uint8_t> back(32);
    auto read = bulkUrb(in_, true, back);
    AsyncUrb waiting(device_.pdo(), read.get());
    ASSERT_EQ(waiting.send(), STATUS_PENDING);
    ASSERT_TRUE(bus_.controller().waitForInFlight(1));

    device_.faults().add(UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                             .endpoint(LoopbackDevice::kOutEndpoint)
                             .disablePort());
    auto write = bulkUrb(out_, false, data_);
    EXPECT_EQ(submit(write.get()).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(write->Hdr.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    waiting.wait();
    EXPECT_EQ(waiting.status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read->Hdr.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(portStatus(), ULONG{USBD_PORT_CONNECTED});
}

TEST_F(ScriptedFaultsTest, SynchronousUrbsFailToo) {
    device_.faults().add(
        UrbFault::on(URB_FUNCTION_RESET_PIPE).failWith(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
    auto reset = pipeUrb(URB_FUNCTION_RESET_PIPE, in_);
    EXPECT_EQ(submit(reset.get()).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reset->Hdr.Status, USBD_STATUS_STALL_PID);
    auto again = pipeUrb(URB_FUNCTION_RESET_PIPE, in_);
    EXPECT_EQ(submit(again.get()).status, STATUS_SUCCESS) << "fired once";
}

TEST_F(ScriptedFaultsTest, TheObserverSeesEveryUrbAndItsEnd) {
    sim::usb::UrbRecorder recorder;
    bus_.addObserver(&recorder);
    device_.faults().add(UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                             .failWith(STATUS_SUCCESS, USBD_STATUS_STALL_PID));
    auto write = bulkUrb(out_, false, data_);
    submit(write.get());
    auto abort = pipeUrb(URB_FUNCTION_ABORT_PIPE, in_);
    submit(abort.get());
    bus_.removeObserver(&recorder);

    const auto records = recorder.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(records[0].submittedUrb().UrbBulkOrInterruptTransfer.TransferBufferLength, 32u);
    EXPECT_EQ(records[0].submittedUrb().UrbBulkOrInterruptTransfer.PipeHandle, out_);
    EXPECT_TRUE(records[0].completed);
    EXPECT_EQ(records[0].irpStatus, STATUS_SUCCESS);
    EXPECT_EQ(records[0].usbStatus, USBD_STATUS_STALL_PID);
    EXPECT_EQ(records[0].completedUrb().UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_EQ(records[1].function, URB_FUNCTION_ABORT_PIPE);
    EXPECT_EQ(records[1].sequence, 2u);
}

} // namespace
} // namespace wdmusb::test
