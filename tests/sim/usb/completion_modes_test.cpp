// How transfers complete: inline, from the completion thread, or held; waiting for data;
// cancellation and abort of transfers in flight; force pending.
#include <functional>
#include <latch>
#include <optional>
#include <numeric>
#include <thread>

#include "tests/sim/usb/usb_fixture.h"
#include "tests/support/eventually.h"
#include "tests/support/interposed_loopback.h"

namespace wdmusb::test {
namespace {

using sim::usb::CompletionMode;

class CompletionModesTest : public UsbBusTest {
protected:
    using UsbBusTest::UsbBusTest;
    void SetUp() override {
        const Selected s = selectConfiguration();
        in_ = s.pipes.at(0).PipeHandle;
        out_ = s.pipes.at(1).PipeHandle;
    }
    sim::usb::HostController& hc() { return bus_.controller(); }

    USBD_PIPE_HANDLE in_ = nullptr;
    USBD_PIPE_HANDLE out_ = nullptr;
    std::vector<std::uint8_t> data_ = std::vector<std::uint8_t>(64, 0x5A);
    std::vector<std::uint8_t> readBuffer_ = std::vector<std::uint8_t>(64);
};

TEST_F(CompletionModesTest, InlineCompletesInsideTheCallAtTheCallersIrql) {
    hc().setMode(CompletionMode::Inline);
    auto write = bulkUrb(out_, false, data_);
    AsyncUrb call(device_.pdo(), write.get());
    EXPECT_EQ(call.send(), STATUS_SUCCESS);
    ASSERT_TRUE(call.completed());
    EXPECT_TRUE(call.completedOnSendingThread());
    EXPECT_EQ(call.completionIrql(), PASSIVE_LEVEL);
}

TEST_F(CompletionModesTest, ThreadModePendsAndCompletesAtDispatchLevelElsewhere) {
    auto write = bulkUrb(out_, false, data_);
    AsyncUrb call(device_.pdo(), write.get());
    EXPECT_EQ(call.send(), STATUS_PENDING);
    call.wait();
    EXPECT_EQ(call.status(), STATUS_SUCCESS);
    EXPECT_FALSE(call.completedOnSendingThread());
    EXPECT_EQ(call.completionIrql(), DISPATCH_LEVEL);
}

TEST_F(CompletionModesTest, HeldTransfersWaitForReleaseInOrder) {
    hc().setMode(LoopbackDevice::kOutEndpoint, CompletionMode::Held);
    std::vector<std::uint8_t> a(8, 'a'), b(8, 'b');
    auto first = bulkUrb(out_, false, a);
    auto second = bulkUrb(out_, false, b);
    AsyncUrb one(device_.pdo(), first.get()), two(device_.pdo(), second.get());
    EXPECT_EQ(one.send(), STATUS_PENDING);
    EXPECT_EQ(two.send(), STATUS_PENDING);
    EXPECT_EQ(hc().heldCount(LoopbackDevice::kOutEndpoint), 2u);
    EXPECT_FALSE(one.completed());

    EXPECT_EQ(hc().releaseHeld(LoopbackDevice::kOutEndpoint, 1), 1u);
    EXPECT_TRUE(one.completed());
    EXPECT_FALSE(two.completed());
    EXPECT_EQ(one.completionIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(device_.releaseHeld(), 1u) << "the device model may release them as well";
    EXPECT_TRUE(two.completed());

    std::vector<std::uint8_t> back(16);
    auto read = bulkUrb(in_, true, back);
    ASSERT_EQ(submit(read.get()).status, STATUS_SUCCESS) << "the IN endpoint kept its own mode";
    EXPECT_EQ(std::string(back.begin(), back.end()), "aaaaaaaabbbbbbbb");
}

// Completions run on several processors: the completion routines of two transfers are inside at
// the same time (each waits, a while at most, for the other to come in).
TEST_F(CompletionModesTest, ThreadModeRunsCompletionsOnSeveralProcessorsAtOnce) {
    static std::atomic<int> inside;
    static std::atomic<int> together;
    static std::atomic<int> finished;
    inside = together = finished = 0;
    const auto meet = +[](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS {
        ++inside;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (inside.load() < 2 && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
        if (inside.load() >= 2)
            ++together;
        ++finished;
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    std::vector<UrbOf<_URB_BULK_OR_INTERRUPT_TRANSFER>> urbs{bulkUrb(out_, false, data_),
                                                             bulkUrb(out_, false, data_)};
    std::vector<PIRP> irps;
    for (auto& urb : urbs) {
        PIRP irp = IoAllocateIrp(device_.pdo()->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb.get();
        IoSetCompletionRoutine(irp, meet, nullptr, TRUE, TRUE, TRUE);
        irps.push_back(irp);
    }
    for (PIRP irp : irps)
        EXPECT_EQ(IofCallDriver(device_.pdo(), irp), STATUS_PENDING);
    while (finished.load() < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(together.load(), 2);
    for (PIRP irp : irps)
        IoFreeIrp(irp);
}

TEST_F(CompletionModesTest, AReadWaitsUntilDataIsWritten) {
    for (CompletionMode mode : {CompletionMode::Inline, CompletionMode::Thread}) {
        hc().setMode(mode);
        auto read = bulkUrb(in_, true, readBuffer_);
        AsyncUrb pending(device_.pdo(), read.get());
        EXPECT_EQ(pending.send(), STATUS_PENDING);
        ASSERT_TRUE(hc().waitForInFlight(1, LoopbackDevice::kInEndpoint));
        EXPECT_FALSE(pending.completed());

        auto write = bulkUrb(out_, false, data_);
        ASSERT_EQ(submit(write.get()).status, STATUS_SUCCESS);
        pending.wait();
        EXPECT_EQ(pending.status(), STATUS_SUCCESS);
        EXPECT_EQ(read->TransferBufferLength, data_.size());
        EXPECT_EQ(readBuffer_, data_);
    }
}

// Inside IoCancelIrp; or, with a cancel latency, after it returned, on one of the processors.
TEST_F(CompletionModesTest, CancellingAWaitingReadCompletesItCancelled) {
    for (const auto latency : {std::chrono::milliseconds(0), std::chrono::milliseconds(20)}) {
        SCOPED_TRACE("latency " + std::to_string(latency.count()) + " ms");
        hc().setCancelLatency(latency);
        auto read = bulkUrb(in_, true, readBuffer_);
        AsyncUrb pending(device_.pdo(), read.get());
        ASSERT_EQ(pending.send(), STATUS_PENDING);
        ASSERT_TRUE(hc().waitForInFlight(1));
        hc().waitIdle();
        EXPECT_TRUE(pending.cancel());
        EXPECT_EQ(pending.completed(), latency.count() == 0);
        pending.wait();
        EXPECT_EQ(pending.status(), STATUS_CANCELLED);
        EXPECT_EQ(pending.completionIrql(), latency.count() == 0 ? PASSIVE_LEVEL : DISPATCH_LEVEL);
        EXPECT_EQ(read->Hdr.Status, USBD_STATUS_CANCELED);
        EXPECT_EQ(read->TransferBufferLength, 0u);
        hc().waitIdle();
        EXPECT_EQ(hc().inFlightCount(), 0u);
    }
}

TEST_F(CompletionModesTest, AbortPipeCompletesEveryTransferOnThatPipeOnly) {
    hc().setMode(LoopbackDevice::kOutEndpoint, CompletionMode::Held);
    std::vector<std::unique_ptr<AsyncUrb>> reads, writes;
    std::vector<UrbOf<_URB_BULK_OR_INTERRUPT_TRANSFER>> urbs;
    urbs.reserve(6);
    for (int i = 0; i < 3; ++i) {
        urbs.push_back(bulkUrb(in_, true, readBuffer_));
        reads.push_back(std::make_unique<AsyncUrb>(device_.pdo(), urbs.back().get()));
        ASSERT_EQ(reads.back()->send(), STATUS_PENDING);
        urbs.push_back(bulkUrb(out_, false, data_));
        writes.push_back(std::make_unique<AsyncUrb>(device_.pdo(), urbs.back().get()));
        ASSERT_EQ(writes.back()->send(), STATUS_PENDING);
    }
    ASSERT_TRUE(hc().waitForInFlight(6));
    hc().waitIdle();

    auto abort = pipeUrb(URB_FUNCTION_ABORT_PIPE, in_);
    EXPECT_EQ(submit(abort.get()).status, STATUS_SUCCESS);
    for (auto& r : reads) {
        ASSERT_TRUE(r->completed()) << "aborted before the abort completed";
        EXPECT_EQ(r->status(), STATUS_CANCELLED);
        EXPECT_EQ(r->urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
    }
    for (auto& w : writes)
        EXPECT_FALSE(w->completed());
    EXPECT_EQ(hc().releaseHeld(), 3u);
    for (auto& w : writes)
        EXPECT_EQ(w->status(), STATUS_SUCCESS);
}

TEST_F(CompletionModesTest, ForcePendingPendsEveryRequestTheBusReceives) {
    hc().setMode(CompletionMode::Inline);
    hc().setForcePending(true);
    ULONG word = 0;
    const SyncResult port = control(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &word);
    EXPECT_EQ(port.returned, STATUS_PENDING);
    EXPECT_EQ(port.status, STATUS_SUCCESS);
    EXPECT_EQ(word, ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED});

    auto write = bulkUrb(out_, false, data_);
    AsyncUrb call(device_.pdo(), write.get());
    EXPECT_EQ(call.send(), STATUS_PENDING);
    call.wait();
    EXPECT_EQ(call.status(), STATUS_SUCCESS);
    EXPECT_FALSE(call.completedOnSendingThread());
}

// Cancels race with completions from the thread: every IRP ends exactly once, with either
// outcome, and none is left behind.
TEST_F(CompletionModesTest, CancelRacingCompletionEndsEveryTransferOnce) {
    constexpr int kRounds = 200;
    std::vector<std::uint8_t> byte(1, 7);
    for (int i = 0; i < kRounds; ++i) {
        std::vector<std::uint8_t> one(1);
        auto read = bulkUrb(in_, true, one);
        AsyncUrb pending(device_.pdo(), read.get());
        ASSERT_EQ(pending.send(), STATUS_PENDING);
        std::thread writer([&] { loopback_.queueData(byte); });
        pending.cancel();
        writer.join();
        pending.wait();
        EXPECT_TRUE(pending.status() == STATUS_SUCCESS || pending.status() == STATUS_CANCELLED)
            << std::hex << pending.status();
        hc().waitIdle();
        auto clear = std::vector<std::uint8_t>{};
        auto drain = vendorUrb(false, LoopbackDevice::kRequestClearQueue, 0, 0, clear);
        ASSERT_EQ(submit(drain.get()).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(hc().inFlightCount(), 0u);
}

// A pipe's transfers take the device's data in the order they were submitted, whichever way the
// newer ones reach the device: from the controller's queue, inline in the call, or released from
// hold. The two older reads wait for data; the controller's thread is kept busy behind a gate so
// that the data's wake is handled only after the newer reads were offered, or would have been.
struct OrderCase {
    const char* name;
    CompletionMode mode;
    bool newerBeforeData; // the newer reads are submitted before the data comes
};

TEST_F(CompletionModesTest, APipesReadsTakeTheDataInSubmissionOrder) {
    constexpr std::size_t kReads = 4;
    constexpr std::size_t kOlder = 2;
    constexpr std::size_t kBytes = 16;
    const OrderCase cases[] = {
        {"queued for the thread", CompletionMode::Thread, true},
        {"completed inline", CompletionMode::Inline, false},
        {"released from hold", CompletionMode::Held, true},
    };
    for (const OrderCase& c : cases) {
        SCOPED_TRACE(c.name);
        hc().setMode(LoopbackDevice::kInEndpoint, c.mode);
        std::vector<std::vector<std::uint8_t>> buffers(kReads, std::vector<std::uint8_t>(kBytes));
        std::vector<UrbOf<_URB_BULK_OR_INTERRUPT_TRANSFER>> urbs;
        urbs.reserve(kReads);
        std::vector<std::unique_ptr<AsyncUrb>> reads;
        const auto send = [&](std::size_t from, std::size_t to) {
            for (std::size_t i = from; i < to; ++i) {
                urbs.push_back(bulkUrb(in_, true, buffers[i]));
                reads.push_back(std::make_unique<AsyncUrb>(device_.pdo(), urbs.back().get()));
                EXPECT_EQ(reads.back()->send(), STATUS_PENDING);
            }
        };
        send(0, kOlder);
        if (c.mode == CompletionMode::Held)
            hc().releaseHeld(LoopbackDevice::kInEndpoint);
        ASSERT_TRUE(hc().waitForInFlight(kOlder, LoopbackDevice::kInEndpoint));
        hc().waitIdle();

        std::latch gate(1);
        hc().post([&gate] { gate.wait(); });
        if (c.newerBeforeData)
            send(kOlder, kReads);
        std::vector<std::uint8_t> data(kReads * kBytes);
        std::iota(data.begin(), data.end(), std::uint8_t{0});
        loopback_.queueData(data);
        if (!c.newerBeforeData)
            send(kOlder, kReads);
        if (c.mode == CompletionMode::Held)
            hc().releaseHeld(LoopbackDevice::kInEndpoint);
        gate.count_down();

        for (std::size_t i = 0; i < kReads; ++i) {
            reads[i]->wait();
            EXPECT_EQ(reads[i]->status(), STATUS_SUCCESS);
            const auto expected = std::vector<std::uint8_t>(
                data.begin() + static_cast<std::ptrdiff_t>(i * kBytes),
                data.begin() + static_cast<std::ptrdiff_t>((i + 1) * kBytes));
            EXPECT_EQ(buffers[i], expected) << "read " << i << " took another read's data";
        }
        hc().waitIdle();
    }
}

class ControllerRaceTest : public CompletionModesTest {
protected:
    ControllerRaceTest() : CompletionModesTest(std::make_shared<InterposedLoopback>()) {}
    InterposedLoopback& model() { return device_.modelAs<InterposedLoopback>(); }
};

// A read cancelled while the device has it is completed cancelled by the thread that served it.
// A pump that had listed it as waiting before that completion ran must not take it up after it:
// the completion has freed the IRP. The pump is made to list the read behind an older waiting
// write of the other pipe, and the read's completion runs while the device has the write.
TEST_F(ControllerRaceTest, ATransferCompletedAfterAPumpListedItIsNotServedAgain) {
    std::vector<std::uint8_t> one(1);
    auto writeUrb = bulkUrb(out_, false, data_);
    auto readUrb = bulkUrb(in_, true, one);
    AsyncUrb write(device_.pdo(), writeUrb.get());
    AsyncUrb read(device_.pdo(), readUrb.get(), /*freeOnCompletion=*/true);
    int writeOffers = 0;
    bool readOffered = false;
    model().before = [&](UCHAR endpoint) -> std::optional<sim::usb::TransferResult> {
        if (endpoint == LoopbackDevice::kOutEndpoint) {
            if (++writeOffers == 2) { // the pump that listed the read serves the write first
                hc().holdCompletions(false);
                EXPECT_TRUE(eventually([&] { return read.completed(); }));
            }
        } else if (!readOffered) {
            readOffered = true;
            hc().holdCompletions(true); // its completion waits until the pump has listed it
            read.cancel();
            model().host()->wake();
        }
        return sim::usb::TransferResult::wait();
    };

    ASSERT_EQ(write.send(), STATUS_PENDING);
    ASSERT_TRUE(hc().waitForInFlight(1));
    hc().waitIdle();
    ASSERT_EQ(read.send(), STATUS_PENDING);
    read.wait();
    EXPECT_EQ(read.status(), STATUS_CANCELLED);
    hc().waitIdle();
    EXPECT_EQ(writeOffers, 2);
    write.cancel();
    write.wait();
    EXPECT_EQ(hc().inFlightCount(), 0u);
}

// Thread mode: a read that waits behind an older read of its pipe is offered to the device as soon
// as the older one leaves by cancellation, not at the device's next wake, which may never come
// (the data it waits for is there already).
TEST_F(ControllerRaceTest, ATransferWaitingBehindOneCancelledMeetsTheDeviceAtOnce) {
    std::atomic<bool> answering{false};
    model().before = [&](UCHAR endpoint) -> std::optional<sim::usb::TransferResult> {
        if (endpoint == LoopbackDevice::kInEndpoint && !answering.load())
            return sim::usb::TransferResult::wait();
        return std::nullopt;
    };
    std::vector<std::uint8_t> first(8), second(8);
    auto olderUrb = bulkUrb(in_, true, first);
    auto newerUrb = bulkUrb(in_, true, second);
    AsyncUrb older(device_.pdo(), olderUrb.get()), newer(device_.pdo(), newerUrb.get());
    ASSERT_EQ(older.send(), STATUS_PENDING);
    ASSERT_EQ(newer.send(), STATUS_PENDING);
    ASSERT_EQ(model().queueData(data_), data_.size()); // the wake finds both waiting
    hc().waitIdle();
    ASSERT_FALSE(newer.completed());

    answering.store(true); // no wake: only the older one's end may bring the newer one on
    EXPECT_TRUE(older.cancel());
    older.wait();
    EXPECT_EQ(older.status(), STATUS_CANCELLED);
    EXPECT_TRUE(eventually([&] { return newer.completed(); })) << "left waiting";
    EXPECT_EQ(newer.status(), STATUS_SUCCESS);
    EXPECT_EQ(second, std::vector<std::uint8_t>(8, 0x5A));
}

} // namespace
} // namespace wdmusb::test
