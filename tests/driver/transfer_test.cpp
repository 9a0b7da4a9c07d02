// Reads and writes through the chunked transfer engine: how requests are cut, what each chunk's
// URB carries, chunks that break a request, failures on the way, and what a request costs.
#include <algorithm>
#include <thread>

#include "sim/faults/fault_injector.h"
#include "sim/memory/mdl_table.h"
#include "tests/driver/client_fixture.h"
#include "tests/support/driver_build.h"

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

// How a chunk of a request breaks it, and how the chunks meet the device.
enum class Break { Stalled, Failed, Short, Cancelled };
enum class Serving {
    Inline,    // each chunk inside its send: none is sent after the one that broke
    Thread,    // by the controller's thread: a later chunk may be served before the break is seen
    OneByOne,  // all at the bus, served one at a time: the later ones are cancelled
    AllAtOnce, // all at the bus and taken by the controller together: the later ones move data
};
constexpr DWORD kBrokenBytes = 2 * 4096 + 172; // three chunks
constexpr ULONG kShortBytes = 100;

struct BrokenCase {
    Serving serving;
    Break how;
    bool reading;
    unsigned chunk; // 1 to 3
};

// What a request one of whose chunks broke ended with.
struct BrokenOutcome {
    DWORD error;
    std::size_t counted;    // its information
    std::size_t atDevice;   // bytes its chunks moved at the device
    bool countedAreTheData; // the bytes counted are the device's (read) or what it got (write)
};

class BrokenChunkTest : public ClientTest {
protected:
    static UrbFault breaking(const BrokenCase& c) {
        UrbFault fault = UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                             .endpoint(c.reading ? kIn : kOut)
                             .nth(c.chunk);
        switch (c.how) {
        case Break::Stalled:
            return fault.failWith(STATUS_SUCCESS, USBD_STATUS_STALL_PID); // the USB status only
        case Break::Failed:
            return fault.failWith(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
        case Break::Short:
            return fault.completeShort(kShortBytes);
        case Break::Cancelled:
            break;
        }
        return fault.failWith(STATUS_CANCELLED, USBD_STATUS_CANCELED);
    }

    // Serves the request's chunks held at the bus as the case says.
    void release(const BrokenCase& c, OVERLAPPED& overlapped) {
        const UCHAR endpoint = c.reading ? kIn : kOut;
        if (c.serving == Serving::AllAtOnce) {
            ASSERT_TRUE(bus_.controller().waitForInFlight(3, endpoint));
            bus_.controller().releaseHeld(endpoint);
        }
        for (int n = 0; c.serving == Serving::OneByOne && n < 1000; ++n) {
            if (HasOverlappedIoCompleted(&overlapped))
                break;
            if (bus_.controller().releaseHeld(endpoint, 1) == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    BrokenOutcome run(const BrokenCase& c) {
        const UCHAR endpoint = c.reading ? kIn : kOut;
        const CompletionMode modes[] = {CompletionMode::Inline, CompletionMode::Thread,
                                        CompletionMode::Held, CompletionMode::Held};
        bus_.controller().setMode(endpoint, modes[static_cast<int>(c.serving)]);
        node_->busDevice->faults().add(breaking(c));
        std::vector<std::uint8_t> data = queuePattern(kBrokenBytes);
        if (!c.reading)
            takeQueued(); // the pattern is what is written
        std::vector<std::uint8_t> buffer =
            c.reading ? std::vector<std::uint8_t>(kBrokenBytes) : data;
        OVERLAPPED overlapped{};
        const BOOL done =
            c.reading ? ReadFile(handle_.get(), buffer.data(), kBrokenBytes, nullptr, &overlapped)
                      : WriteFile(handle_.get(), buffer.data(), kBrokenBytes, nullptr, &overlapped);
        EXPECT_TRUE(done || GetLastError() == ERROR_IO_PENDING);
        release(c, overlapped);
        DWORD moved = 0;
        const BOOL ok = GetOverlappedResult(handle_.get(), &overlapped, &moved, TRUE);
        BrokenOutcome result{ok ? DWORD{ERROR_SUCCESS} : GetLastError(), moved, 0, false};
        EXPECT_EQ(moved, overlapped.InternalHigh) << "the count, whatever the status";
        const std::vector<std::uint8_t> got = c.reading ? buffer : takeQueued();
        result.atDevice = c.reading ? kBrokenBytes - takeQueued().size() : got.size();
        result.countedAreTheData =
            result.counted <= got.size() &&
            std::equal(data.begin(), data.begin() + result.counted, got.begin());
        node_->busDevice->faults().clear();
        bus_.controller().waitIdle();
        bus_.controller().setMode(endpoint, CompletionMode::Thread);
        return result;
    }
};

// A request of three chunks one of which breaks (fails, ends short or is cancelled) counts its
// chunks' bytes in order up to and including that one's, and those are the device's bytes at the
// start of the buffer, or exactly what the device got. It succeeds when no later chunk moved a
// byte; when one did (it was at the device before the break was seen), the device gave or took
// data the count cannot show, and the request fails. A stall halts the endpoint: the chunks
// behind it move nothing, and the next request resets the pipe before it sends.
TEST_F(BrokenChunkTest, ARequestCountsOnlyTheUnbrokenPrefixOfItsChunks) {
    const char* const servings[] = {"inline", "thread", "one by one", "all at once"};
    const char* const breaks[] = {"stalled", "failed", "short", "cancelled"};
    std::vector<BrokenCase> cases;
    for (const Serving serving :
         {Serving::Inline, Serving::Thread, Serving::OneByOne, Serving::AllAtOnce})
        for (const Break how : {Break::Stalled, Break::Failed, Break::Short, Break::Cancelled})
            for (const bool reading : {true, false})
                for (const unsigned chunk : {1u, 2u, 3u})
                    cases.push_back({serving, how, reading, chunk});
    startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
    for (const BrokenCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.reading ? "read" : "write") << ", chunk " << c.chunk
                                          << " " << breaks[static_cast<int>(c.how)] << ", served "
                                          << servings[static_cast<int>(c.serving)]);
        const BrokenOutcome result = run(c);
        EXPECT_EQ(result.counted, (c.chunk - 1) * 4096 + (c.how == Break::Short ? kShortBytes : 0));
        EXPECT_TRUE(result.countedAreTheData);
        EXPECT_EQ(result.error == ERROR_SUCCESS, result.atDevice == result.counted)
            << result.atDevice << " bytes moved at the device";
        const bool halts = c.how == Break::Stalled || c.how == Break::Failed;
        const bool hidden = c.serving == Serving::AllAtOnce && c.chunk < 3 && !halts;
        if (c.serving != Serving::Thread) { // there, either may happen
            EXPECT_EQ(result.error, hidden ? DWORD{ERROR_CRC} : DWORD{ERROR_SUCCESS});
        }
        EXPECT_EQ(ext()->PendingChunkCount, 0);
    }
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
    SOURCE_BUILD_ONLY();
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

// A chunk the bus failed without serving it (the device gone or suspended, its port disabled)
// keeps the length the driver wrote, its whole window: it counts as nothing moved, so a read hands
// back none of the caller's own bytes as data and a write claims nothing that never left.
TEST_F(TransferTest, AChunkTheBusFailedUnservedCountsNothing) {
    struct Case {
        const char* what;
        std::function<void(sim::usb::BusDevice&)> arrange;
        std::function<void(sim::usb::BusDevice&)> restore;
    };
    const Case cases[] = {
        {"suspended", [](auto& d) { d.setDevicePower(PowerDeviceD2); },
         [](auto& d) { d.setDevicePower(PowerDeviceD0); }},
        {"port disabled", [](auto& d) { d.setPortEnabled(false); }, [](auto& d) { d.resetPort(); }},
        {"gone", [](auto& d) { d.unplug(); }, [](auto&) {}}, // the driver not told
    };
    startAndOpen();
    std::vector<std::uint8_t> buffer(2 * 4096, 0xAB);
    for (const Case& c : cases) {
        for (const bool reading : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (reading ? ", read" : ", write"));
            c.arrange(*node_->busDevice);
            const Outcome result =
                reading ? read(buffer.data(), 2 * 4096) : write(buffer.data(), 2 * 4096);
            EXPECT_EQ(result.bytes, 0u);
            c.restore(*node_->busDevice);
        }
    }
}

// A stall halts the endpoint until its pipe is reset. The request it broke counts what moved
// before it; the pipe is reset once, before the next request on it sends (by the broken request
// itself when the stall came back from the send), and that request moves its data.
class StallRecoveryTest : public ClientTest,
                          public ::testing::WithParamInterface<CompletionMode> {};

TEST_P(StallRecoveryTest, TheNextRequestResetsTheStalledPipeAndMovesItsData) {
    startAndOpen();
    bus_.controller().setMode(GetParam());
    for (const bool reading : {true, false}) {
        SCOPED_TRACE(reading ? "read" : "write");
        const UCHAR endpoint = reading ? kIn : kOut;
        node_->busDevice->faults().add(UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
                                           .endpoint(endpoint)
                                           .failWith(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
        std::vector<std::uint8_t> data = queuePattern(2 * 4096);
        if (!reading)
            takeQueued();
        std::vector<std::uint8_t> buffer = reading ? std::vector<std::uint8_t>(2 * 4096) : data;
        const auto request = [&] {
            return reading ? read(buffer.data(), 2 * 4096) : write(buffer.data(), 2 * 4096);
        };
        recorder_.clear();
        EXPECT_EQ(request().bytes, 0u) << "broken by the stall";
        const Outcome next = request();
        EXPECT_EQ(next.error, DWORD{ERROR_SUCCESS});
        EXPECT_EQ(next.bytes, 2u * 4096);
        EXPECT_EQ(reading ? buffer : takeQueued(), data);
        const auto resets = sent(URB_FUNCTION_RESET_PIPE);
        ASSERT_EQ(resets.size(), 1u);
        EXPECT_EQ(resets[0].submittedUrb().UrbPipeRequest.PipeHandle,
                  ext()->InterfaceInformation->Pipes[reading ? 0 : 1].PipeHandle);
        takeQueued();
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, StallRecoveryTest,
                         ::testing::Values(CompletionMode::Inline, CompletionMode::Thread),
                         completionModeName);

} // namespace
} // namespace wdmusb::test
