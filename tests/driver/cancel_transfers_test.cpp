// Cancelling the chunks of a transfer in flight: what the walk cancels, when it waits, and that it
// never touches a chunk IRP or an array its completions have freed.
#include <gtest/gtest.h>

#include <thread>

#include "io/cancel_transfers.h"
#include "io/chunk_tracking.h"
#include "sim/io/irp_observer.h"
#include "sim/sync/dispatcher.h"
#include "tests/driver/client_fixture.h"
#include "tests/support/driver_build.h"

namespace wdmusb::test {
namespace {

constexpr DWORD kChunk = WDMUSB_MAXIMUM_TRANSFER_SIZE;

class CancelTransfersTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        // A walk that waits when it must not waits for ever: report it soon.
        system_.dispatcher().setHangLimit(std::chrono::seconds(10));
        startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
    }

    // A read of `chunks` chunks sent and pending.
    void startRead(ULONG chunks) {
        buffer_.assign(chunks * kChunk, 0);
        overlapped_ = OVERLAPPED{};
        ASSERT_FALSE(
            ReadFile(handle_.get(), buffer_.data(), chunks * kChunk, nullptr, &overlapped_));
        ASSERT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    }
    bool readDone() { return HasOverlappedIoCompleted(&overlapped_); }
    DWORD readBytes() {
        DWORD moved = 0;
        EXPECT_TRUE(GetOverlappedResult(handle_.get(), &overlapped_, &moved, TRUE));
        return moved;
    }
    // Nothing of the chunk tracking is left once a transfer is over.
    void expectTrackingIdle() {
        PDEVICE_EXTENSION e = ext();
        EXPECT_EQ(e->ChunkContexts, nullptr);
        EXPECT_EQ(e->ChunkWalkers, 0);
        EXPECT_EQ(e->DeferredChunkIrps.Flink, &e->DeferredChunkIrps);
        EXPECT_EQ(e->DeferredChunkArray, nullptr);
        EXPECT_EQ(e->PendingChunkCount, 0);
        EXPECT_EQ(e->PendingTransferIrp, nullptr);
    }
    bool transferDoneSet() { return KeReadStateEvent(&ext()->TransferDoneEvent) != 0; }
    // The statuses the read's chunks ended with, in the order they were sent.
    std::vector<NTSTATUS> chunkStatuses() {
        std::vector<NTSTATUS> statuses;
        for (const auto& r : sent(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER))
            statuses.push_back(r.completed ? r.irpStatus : STATUS_PENDING);
        return statuses;
    }

    std::vector<std::uint8_t> buffer_;
    OVERLAPPED overlapped_{};
};

TEST_F(CancelTransfersTest, NothingInFlightReturnsZeroAtOnce) {
    SOURCE_BUILD_ONLY();
    // A wait here would never end: TransferDoneEvent has never been set on this device.
    EXPECT_EQ(CancelPendingTransfers(fdo()), 0u);
    EXPECT_FALSE(transferDoneSet());
    expectTrackingIdle();
}

// The walk passes over a finished chunk, cancels the rest, and returns only once their
// completions (which the controller runs a while later, on its own processors) have finished the
// transfer.
TEST_F(CancelTransfersTest, FourChunksWithTheFirstDoneCancelsTheOtherThreeAndWaitsForTheEnd) {
    SOURCE_BUILD_ONLY();
    bus_.controller().setMode(kIn, CompletionMode::Held);
    bus_.controller().setCancelLatency(std::chrono::milliseconds(20));
    queuePattern(kChunk);
    startRead(4);
    ASSERT_TRUE(bus_.controller().waitForInFlight(4, kIn));
    ASSERT_EQ(bus_.controller().releaseHeld(kIn, 1), 1u);
    ASSERT_EQ(ext()->ChunkContexts[0].Irp, nullptr);

    EXPECT_EQ(CancelPendingTransfers(fdo()), 3u);
    EXPECT_EQ(ReadShared(ext()->ChunkContexts), nullptr) << "the walk returned before the chunks";
    EXPECT_EQ(readBytes(), kChunk);
    const std::vector<NTSTATUS> expected = {STATUS_SUCCESS, STATUS_CANCELLED, STATUS_CANCELLED,
                                            STATUS_CANCELLED};
    EXPECT_EQ(chunkStatuses(), expected);
    bus_.controller().waitIdle();
    expectTrackingIdle();
}

// A chunk the lower driver will not cancel does not stop the walk: the chunks after it are
// cancelled all the same; the walk then does not wait, since the transfer may not end soon.
// The bus serves a pipe's transfers in order: cancelled last to first, no chunk can reach the
// device after an earlier one was cancelled, and a transfer cut short counts only bytes from the
// start of its buffer. A chunk not yet sent when the walk begins is never sent.
TEST_F(CancelTransfersTest, ChunksAreCancelledLastFirstAndNoneIsSentAfterTheWalkBegan) {
    SOURCE_BUILD_ONLY();
    struct CancelOrder : sim::IrpObserver {
        void onIrpEvent(const sim::IrpEvent& event) override {
            std::lock_guard lock(mutex);
            if (event.kind == sim::IrpEvent::Kind::Cancelled)
                cancelled.push_back(event.irp);
        }
        std::mutex mutex;
        std::vector<PIRP> cancelled;
    } order;
    bus_.controller().setMode(kIn, CompletionMode::Held);
    startRead(4);
    ASSERT_TRUE(bus_.controller().waitForInFlight(4, kIn));
    std::vector<PIRP> sentOrder;
    for (const auto& r : sent(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER))
        sentOrder.insert(sentOrder.begin(), r.irp);
    system_.io().setObserver(&order);
    EXPECT_EQ(CancelPendingTransfers(fdo()), 4u);
    system_.io().setObserver(nullptr);
    EXPECT_EQ(order.cancelled, sentOrder);
    EXPECT_EQ(readBytes(), 0u);

    ext()->ChunksCancelled = TRUE; // as a walk leaves it: the next chunk built is not sent
    PDEVICE_EXTENSION e = ext();
    CHUNK_CONTEXT records[2] = {};
    PIRP irp = IoAllocateIrp(2, FALSE);
    EXPECT_FALSE(TrackChunk(fdo(), &records[0], nullptr, irp));
    EXPECT_EQ(records[0].Irp, nullptr);
    IoFreeIrp(irp);
    e->ChunksCancelled = FALSE;
    expectTrackingIdle();
}

TEST_F(CancelTransfersTest, AChunkThatCannotBeCancelledNeitherStopsTheWalkNorIsWaitedFor) {
    SOURCE_BUILD_ONLY();
    for (const unsigned refused : {1u, 2u}) {
        SCOPED_TRACE("refused chunk " + std::to_string(refused));
        recorder_.clear();
        node_->busDevice->faults().add(UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                                           .endpoint(kIn)
                                           .nth(refused)
                                           .refuseCancel());
        bus_.controller().setMode(kIn, CompletionMode::Held);
        startRead(4);
        ASSERT_TRUE(bus_.controller().waitForInFlight(4, kIn));

        EXPECT_EQ(CancelPendingTransfers(fdo()), 3u);
        EXPECT_FALSE(readDone());
        EXPECT_EQ(bus_.controller().inFlightCount(kIn), 1u);

        queuePattern(kChunk); // the device ends the one left
        bus_.controller().releaseHeld(kIn);
        // The first chunk cancelled broke the transfer: the refused first chunk's bytes count;
        // the refused second chunk's came after the break, and the read fails without them.
        DWORD moved = 0;
        const BOOL ok = GetOverlappedResult(handle_.get(), &overlapped_, &moved, TRUE);
        EXPECT_EQ(ok ? DWORD{ERROR_SUCCESS} : GetLastError(),
                  refused == 1 ? DWORD{ERROR_SUCCESS} : DWORD{ERROR_CRC});
        EXPECT_EQ(overlapped_.InternalHigh, refused == 1 ? ULONG_PTR{kChunk} : 0u);
        bus_.controller().waitIdle();
        expectTrackingIdle();
        bus_.controller().setMode(kIn, CompletionMode::Thread);
    }
}

// Completions on the controller's processors free chunk IRPs and, last, the array while walks
// (one, or two at once) run over them. Any use of a freed IRP or array is a verifier finding or,
// under the sanitizers, a report; every round must end with everything freed.
TEST_F(CancelTransfersTest, WalksRacingCompletionsTouchNothingFreed) {
    SOURCE_BUILD_ONLY();
    const std::size_t blocksAtRest = driverBlocks();
    const std::size_t irpsAtRest = system_.io().liveIrpCount();
    for (int round = 0; round < stressRounds(200); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const ULONG chunks = 1 + static_cast<ULONG>(round % 16);
        queuePattern(chunks * kChunk);
        startRead(chunks);
        switch (round % 4) {
        case 0:
            CancelPendingTransfers(fdo());
            break;
        case 1: {
            std::thread second([&] { CancelPendingTransfers(fdo()); });
            CancelPendingTransfers(fdo());
            second.join();
            break;
        }
        default: // walk after walk while the chunks complete
            while (!readDone())
                CancelPendingTransfers(fdo());
            break;
        }
        readBytes();
        bus_.controller().waitIdle();
        expectTrackingIdle();
        ASSERT_EQ(driverBlocks(), blocksAtRest);
        ASSERT_EQ(system_.io().liveIrpCount(), irpsAtRest);
    }
}

} // namespace
} // namespace wdmusb::test
