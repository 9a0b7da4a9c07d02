// Reads and writes through the chunked transfer engine: how requests are cut, what each chunk's
// URB carries, short chunks, failures on the way, and what a request costs.
#include <algorithm>

#include "sim/faults/fault_injector.h"
#include "sim/memory/mdl_table.h"
#include "tests/driver/client_fixture.h"

namespace wdmusb::test {
namespace {

using TransferTest = ClientTest;

// Every chunk as the bus received it: its length and flags, an MDL and no buffer.
TEST_F(TransferTest, RequestsAreCutIntoChunksOf4096Bytes) {
    struct Case {
        DWORD bytes;
        std::vector<ULONG> chunks; // empty: nothing sent
        DWORD error;
    };
    const Case cases[] = {
        {4096, {4096}, ERROR_SUCCESS},
        {4097, {4096, 1}, ERROR_SUCCESS},
        {65536, std::vector<ULONG>(16, 4096), ERROR_SUCCESS},
        {65537, {}, ERROR_INVALID_PARAMETER},
        {0, {}, ERROR_SUCCESS},
    };
    startAndOpen();
    std::vector<std::uint8_t> buffer(65537);
    for (const bool reading : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE((reading ? "read of " : "write of ") + std::to_string(c.bytes));
            recorder_.clear();
            const Outcome result =
                reading ? read(buffer.data(), c.bytes) : write(buffer.data(), c.bytes);
            EXPECT_EQ(result.error, c.error);
            EXPECT_EQ(result.bytes, c.error == ERROR_SUCCESS ? c.bytes : 0);
            std::vector<ULONG> lengths;
            for (const auto& r : sent(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) {
                const auto& bulk = r.submittedUrb().UrbBulkOrInterruptTransfer;
                lengths.push_back(bulk.TransferBufferLength);
                EXPECT_EQ(bulk.Hdr.Length, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
                EXPECT_EQ(bulk.TransferFlags, reading ? 3u : 2u);
                EXPECT_EQ(bulk.PipeHandle,
                          ext()->InterfaceInformation->Pipes[reading ? 0 : 1].PipeHandle);
                EXPECT_NE(bulk.TransferBufferMDL, nullptr);
                EXPECT_EQ(bulk.TransferBuffer, nullptr);
            }
            EXPECT_EQ(lengths, c.chunks);
        }
    }
}

// Every chunk owns a fixed window of the buffer: a first chunk that ends short leaves the rest of
// its window as it was, and the second chunk's data lies at 4096.
TEST_F(TransferTest, AShortChunkLeavesTheRestOfItsWindowAndTheCountIsTheSum) {
    startAndOpen();
    constexpr ULONG kShort = 100;
    node_->busDevice->faults().add(
        UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).endpoint(kIn).completeShort(kShort));
    const auto data = queuePattern(kShort + 4096);
    std::vector<std::uint8_t> buffer(8192, 0xEE);
    const Outcome result = read(buffer.data(), 8192);
    ASSERT_EQ(result.error, DWORD{ERROR_SUCCESS});
    EXPECT_EQ(result.bytes, kShort + 4096);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + kShort, buffer.begin()));
    EXPECT_TRUE(std::all_of(buffer.begin() + kShort, buffer.begin() + 4096,
                            [](std::uint8_t b) { return b == 0xEE; }));
    EXPECT_TRUE(std::equal(data.begin() + kShort, data.end(), buffer.begin() + 4096));
}

// The bus holds all 16 chunks before the first completes; meanwhile the request costs one array
// and per chunk one IRP, one MDL and one URB, all given back at its end. The driver maps nothing:
// no byte of the caller's data passes through it.
TEST_F(TransferTest, AllChunksAreInFlightTogetherAndCostOneIrpMdlAndUrbEach) {
    startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
    const std::size_t blocks = driverBlocks();
    const std::uint64_t lastSerial = system_.pool().liveBlocks().back().serial;
    const std::size_t irps = system_.io().liveIrpCount();
    const std::size_t mdls = system_.mdls().liveCount();
    bus_.controller().setMode(kOut, CompletionMode::Held);
    std::vector<std::uint8_t> buffer(65536, 0x3C);
    OVERLAPPED overlapped{};
    EXPECT_FALSE(WriteFile(handle_.get(), buffer.data(), 65536, nullptr, &overlapped));
    ASSERT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    ASSERT_TRUE(bus_.controller().waitForInFlight(16, kOut));
    EXPECT_EQ(driverBlocks(), blocks + 1 + 16) << "the array and 16 URBs";
    EXPECT_EQ(system_.io().liveIrpCount(), irps + 1 + 16) << "the request and 16 chunks";
    EXPECT_EQ(system_.mdls().liveCount(), mdls + 1 + 16) << "the request's MDL and 16 chunks'";
    for (const auto& block : system_.pool().liveBlocks()) {
        if (block.serial > lastSerial) {
            EXPECT_LE(block.size, 17 * sizeof(CHUNK_CONTEXT)) << "no copy of the data";
        }
    }

    bus_.controller().releaseHeld(kOut);
    DWORD moved = 0;
    EXPECT_TRUE(GetOverlappedResult(handle_.get(), &overlapped, &moved, TRUE));
    EXPECT_EQ(moved, 65536u);
    EXPECT_EQ(loopback().queuedBytes(), 65536u);
    EXPECT_EQ(driverBlocks(), blocks);
    EXPECT_EQ(system_.io().liveIrpCount(), irps);
    EXPECT_EQ(system_.mdls().liveCount(), mdls);
    for (const auto& site : system_.faults().sitesSeen())
        EXPECT_FALSE(site.kind == sim::AllocKind::SystemMapping &&
                     site.file.find("/io/") != std::string::npos)
            << "the driver mapped a buffer at " << site.file << ":" << site.line;
}

// Every chunk of a 64 KiB read takes the data of its own window, whenever the data comes: before
// any chunk reached the device, while some wait there and others are still on their way, or after
// all wait. Each round lets the data come after a different number of chunks are in flight.
TEST_F(TransferTest, AReadsChunksTakeTheDataInOrderWhenItComesWhileTheyAreInFlight) {
    constexpr DWORD kBytes = 65536;
    constexpr std::size_t kChunks = kBytes / 4096;
    constexpr int kRounds = 3 * (kChunks + 1);
    startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
    std::vector<std::uint8_t> buffer(kBytes);
    for (int round = 0; round < kRounds; ++round) {
        const std::size_t inFlight = static_cast<std::size_t>(round) % (kChunks + 1);
        SCOPED_TRACE("data after " + std::to_string(inFlight) + " chunks in flight");
        std::fill(buffer.begin(), buffer.end(), std::uint8_t{0xEE});
        OVERLAPPED overlapped{};
        EXPECT_FALSE(ReadFile(handle_.get(), buffer.data(), kBytes, nullptr, &overlapped));
        ASSERT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
        ASSERT_TRUE(bus_.controller().waitForInFlight(inFlight, kIn));
        const auto data = queuePattern(kBytes);
        DWORD moved = 0;
        ASSERT_TRUE(GetOverlappedResult(handle_.get(), &overlapped, &moved, TRUE));
        EXPECT_EQ(moved, kBytes);
        const auto wrong = std::mismatch(buffer.begin(), buffer.end(), data.begin()).first;
        EXPECT_EQ(wrong, buffer.end())
            << "first wrong byte in chunk " << (wrong - buffer.begin()) / 4096;
    }
}

// Completed inline, the last chunk finishes the request before TransferData has left its loop:
// the request is completed once, by that chunk, and the dispatch routine still says pending.
TEST_F(TransferTest, ALastChunkCompletingInsideTheLoopFinishesTheRequestOnce) {
    startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
    bus_.controller().setMode(CompletionMode::Inline);
    queuePattern(3 * 4096);
    std::vector<std::uint8_t> buffer(3 * 4096);
    OVERLAPPED overlapped{};
    EXPECT_FALSE(ReadFile(handle_.get(), buffer.data(), 3 * 4096, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    DWORD moved = 0;
    EXPECT_TRUE(GetOverlappedResult(handle_.get(), &overlapped, &moved, FALSE)) << "done already";
    EXPECT_EQ(moved, 3u * 4096);
}

// A send that fails stops the sending and resets the pipe; so does a chunk that cannot be built.
// The request still ends with success and the bytes the sent chunks moved.
TEST_F(TransferTest, FailuresOnTheWayStopTheSendingAndResetThePipe) {
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::size_t sent;
        DWORD error;
        DWORD bytes;
    };
    const auto failChunk = [this](unsigned nth) {
        return [this, nth] {
            bus_.controller().setMode(CompletionMode::Inline);
            node_->busDevice->faults().add(
                UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                    .nth(nth)
                    .failWith(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
        };
    };
    const auto failAllocation = [this](sim::AllocKind kind, unsigned nth) {
        return [this, kind, nth] { system_.faults().failNthOfKind(kind, nth); };
    };
    const Case cases[] = {
        {"the first send fails", failChunk(1), 1, ERROR_SUCCESS, 0},
        {"the third send fails", failChunk(3), 3, ERROR_SUCCESS, 2 * 4096},
        {"the third chunk's IRP", failAllocation(sim::AllocKind::Irp, 3), 2, ERROR_SUCCESS,
         2 * 4096},
        {"the first chunk's MDL", failAllocation(sim::AllocKind::Mdl, 1), 0,
         ERROR_NO_SYSTEM_RESOURCES, 0},
        {"the context array", failAllocation(sim::AllocKind::Pool, 1), 0, ERROR_NO_SYSTEM_RESOURCES,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        startAndOpen();
        c.arrange();
        recorder_.clear();
        std::vector<std::uint8_t> buffer(4 * 4096);
        const Outcome result = write(buffer.data(), 4 * 4096);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.bytes, c.bytes);
        EXPECT_EQ(bulkUrbs(), c.sent);
        const bool reset = std::string(c.what) != "the context array";
        EXPECT_EQ(sent(URB_FUNCTION_RESET_PIPE).size(), reset ? 1u : 0u);
        EXPECT_EQ(ext()->PendingChunkCount, 0);
        handle_.close();
        bus_.controller().setMode(CompletionMode::Thread);
    }
}

} // namespace
} // namespace wdmusb::test
