// Cancelling the chunks of a transfer in flight: what the walk cancels, when it waits, and that it
// never touches a chunk IRP or an array its completions have freed.
#include <gtest/gtest.h>

#include <thread>

#include "io/cancel_transfers.h"
#include "sim/sync/dispatcher.h"
#include "tests/driver/chunked_transfer.h"
#include "tests/driver/driver_on_bus.h"

namespace wdmusb::test {
namespace {

constexpr UCHAR kIn = LoopbackDevice::kInEndpoint;

class CancelTransfersTest : public DriverOnBusTest {
protected:
    void SetUp() override {
        DriverOnBusTest::SetUp();
        // A walk that waits when it must not waits for ever: report it soon.
        system_.dispatcher().setHangLimit(std::chrono::seconds(10));
    }

    PDEVICE_OBJECT startedFdo() {
        node_ = &plugAndStart();
        return fdoOf(*node_);
    }
    // Bytes the loopback device hands to the next IN transfers.
    void queueInData(std::size_t bytes) {
        std::vector<std::uint8_t> data(bytes);
        for (std::size_t i = 0; i < bytes; ++i)
            data[i] = static_cast<std::uint8_t>(i * 7);
        node_->busDevice->modelAs<LoopbackDevice>().queueData(data);
    }
    // Nothing of the chunk tracking is left once a transfer is over.
    void expectTrackingIdle(PDEVICE_EXTENSION ext) {
        EXPECT_EQ(ext->ChunkContexts, nullptr);
        EXPECT_EQ(ext->ChunkWalkers, 0);
        EXPECT_EQ(ext->DeferredChunkIrps.Flink, &ext->DeferredChunkIrps);
        EXPECT_EQ(ext->DeferredChunkArray, nullptr);
        EXPECT_EQ(ext->PendingChunkCount, 0);
        EXPECT_EQ(ext->PendingTransferIrp, nullptr);
    }
    bool transferDoneSet(PDEVICE_EXTENSION ext) {
        return KeReadStateEvent(&ext->TransferDoneEvent) != 0;
    }

    sim::DeviceNode* node_ = nullptr;
};

TEST_F(CancelTransfersTest, NothingInFlightReturnsZeroAtOnce) {
    PDEVICE_OBJECT fdo = startedFdo();
    // A wait here would never end: TransferDoneEvent has never been set on this device.
    EXPECT_EQ(CancelPendingTransfers(fdo), 0u);
    EXPECT_FALSE(transferDoneSet(GetExtension(fdo)));
    expectTrackingIdle(GetExtension(fdo));
}

// The walk passes over a finished chunk, cancels the rest, and returns only once their
// completions have finished the transfer (here they do so on threads of their own, later).
TEST_F(CancelTransfersTest, FourChunksWithTheFirstDoneCancelsTheOtherThreeAndWaitsForTheEnd) {
    PDEVICE_OBJECT fdo = startedFdo();
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    bus_.controller().setMode(kIn, CompletionMode::Held);
    queueInData(ChunkedTransfer::kChunkBytes);
    ChunkedTransfer read(fdo, {.chunks = 4, .finishLater = true});
    ASSERT_EQ(read.start(), STATUS_PENDING);
    ASSERT_TRUE(bus_.controller().waitForInFlight(4, kIn));
    ASSERT_EQ(bus_.controller().releaseHeld(kIn, 1), 1u);
    read.waitChunksFinished(1);
    ASSERT_EQ(ext->ChunkContexts[0].Irp, nullptr);

    EXPECT_EQ(CancelPendingTransfers(fdo), 3u);
    EXPECT_TRUE(read.done()) << "the walk returned before the transfer ended";
    EXPECT_EQ(read.result().Status, STATUS_SUCCESS);
    EXPECT_EQ(read.result().Information, ChunkedTransfer::kChunkBytes);
    read.waitChunksFinished();
    const std::vector<NTSTATUS> expected = {STATUS_SUCCESS, STATUS_CANCELLED, STATUS_CANCELLED,
                                            STATUS_CANCELLED};
    EXPECT_EQ(read.chunkStatuses(), expected);
    expectTrackingIdle(ext);
}

// A lower driver that cannot cancel a chunk stops the walk there; the walk then does not wait,
// since the transfer may not end soon.
TEST_F(CancelTransfersTest, ALowerDriverRefusingACancelStopsTheWalkWithoutWaiting) {
    struct Case {
        unsigned refusedChunk; // 1-based, in submission order
        ULONG cancelled;
    };
    for (const Case c : {Case{1, 0}, Case{2, 1}}) {
        SCOPED_TRACE("refused chunk " + std::to_string(c.refusedChunk));
        PDEVICE_OBJECT fdo = startedFdo();
        PDEVICE_EXTENSION ext = GetExtension(fdo);
        node_->busDevice->faults().add(UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                                           .endpoint(kIn)
                                           .nth(c.refusedChunk)
                                           .refuseCancel());
        bus_.controller().setMode(kIn, CompletionMode::Held);
        ChunkedTransfer read(fdo, {.chunks = 4});
        ASSERT_EQ(read.start(), STATUS_PENDING);
        ASSERT_TRUE(bus_.controller().waitForInFlight(4, kIn));

        EXPECT_EQ(CancelPendingTransfers(fdo), c.cancelled);
        EXPECT_FALSE(read.done());
        EXPECT_FALSE(transferDoneSet(ext));
        EXPECT_EQ(bus_.controller().inFlightCount(kIn), 4u - c.cancelled);

        // The device ends the rest.
        queueInData(4 * ChunkedTransfer::kChunkBytes);
        bus_.controller().releaseHeld(kIn);
        ASSERT_TRUE(read.waitDone());
        EXPECT_EQ(read.result().Status, STATUS_SUCCESS);
        EXPECT_EQ(read.result().Information, (4u - c.cancelled) * ChunkedTransfer::kChunkBytes);
        read.waitChunksFinished();
        expectTrackingIdle(ext);
        bus_.controller().setMode(kIn, CompletionMode::Thread);
    }
}

// Completions on the host controller's thread free chunk IRPs and, last, the array while walks
// (one, or two at once) run over them. Any use of a freed IRP or array is a verifier finding or,
// under the sanitizers, a report; every round must end with everything freed.
TEST_F(CancelTransfersTest, WalksRacingCompletionsOnTheControllerThreadTouchNothingFreed) {
    PDEVICE_OBJECT fdo = startedFdo();
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    const std::size_t blocksAtRest = driverBlocks();
    const std::size_t irpsAtRest = system_.io().liveIrpCount();
    const int rounds = stressRounds(200);
    std::size_t cancelledTotal = 0;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const ULONG chunks = 1 + static_cast<ULONG>(round % 16);
        queueInData(chunks * ChunkedTransfer::kChunkBytes);
        ChunkedTransfer read(fdo, {.chunks = chunks});
        ASSERT_EQ(read.start(), STATUS_PENDING);
        switch (round % 3) {
        case 0:
            cancelledTotal += CancelPendingTransfers(fdo);
            break;
        case 1:
            std::this_thread::yield();
            cancelledTotal += CancelPendingTransfers(fdo);
            break;
        case 2: {
            std::thread second([&] { CancelPendingTransfers(fdo); });
            cancelledTotal += CancelPendingTransfers(fdo);
            second.join();
            break;
        }
        }
        ASSERT_TRUE(read.waitDone());
        EXPECT_EQ(read.result().Status, STATUS_SUCCESS);
        read.waitChunksFinished();
        expectTrackingIdle(ext);
        ASSERT_EQ(driverBlocks(), blocksAtRest);
        ASSERT_EQ(system_.io().liveIrpCount(), irpsAtRest);
    }
    RecordProperty("chunks_cancelled", static_cast<int>(cancelledTotal));
}

// Walk after walk while the chunks complete on the controller's thread: a walk often reads a
// record just as that chunk's completion clears it, and then cancels an IRP that has completed,
// which must still be allocated.
TEST_F(CancelTransfersTest, WalkAfterWalkWhileChunksCompleteNeverCancelsAFreedIrp) {
    PDEVICE_OBJECT fdo = startedFdo();
    PDEVICE_EXTENSION ext = GetExtension(fdo);
    const std::size_t blocksAtRest = driverBlocks();
    for (int round = 0; round < stressRounds(200); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        queueInData(16 * ChunkedTransfer::kChunkBytes);
        ChunkedTransfer read(fdo, {.chunks = 16});
        ASSERT_EQ(read.start(), STATUS_PENDING);
        while (!read.done())
            CancelPendingTransfers(fdo);
        EXPECT_EQ(read.result().Status, STATUS_SUCCESS);
        read.waitChunksFinished();
        expectTrackingIdle(ext);
        ASSERT_EQ(driverBlocks(), blocksAtRest);
    }
}

} // namespace
} // namespace wdmusb::test
