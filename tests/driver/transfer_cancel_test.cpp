// Reads and writes an application gives up: CancelIo, the end of its thread or of its process.
// A cancelled request ends once its chunks are back, with ERROR_OPERATION_ABORTED and the unbroken
// run of bytes its chunks moved before the cancel, and the device takes the next request at once.
// The races: a cancel before the first chunk goes, while the chunks are being sent, as the last
// one is served, and against a stop, surprise removal or removal walking the same chunks.
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "sim/app/process.h"
#include "sim/io/file_io.h"
#include "sim/io/irp_observer.h"
#include "sim/sync/dispatcher.h"
#include "tests/driver/client_fixture.h"
#include "tests/support/driver_build.h"
#include "tests/support/eventually.h"
#include "tests/support/interposed_loopback.h"

namespace wdmusb::test {
namespace {

using namespace std::chrono_literals;

constexpr DWORD kChunk = WDMUSB_MAXIMUM_TRANSFER_SIZE;

// Runs an action on the thread that sends a request when the driver allocates the IRP of its
// n-th chunk, between the loop's gate check and the chunk's send: the moment before the first
// chunk goes, or between two chunks. The action may cancel, or remove the device; the events it
// causes on this thread meanwhile are passed over.
class ChunkAllocationHook : public sim::IrpObserver {
public:
    ChunkAllocationHook(int nth, std::function<void()> action)
        : thread_(std::this_thread::get_id()), remaining_(nth), action_(std::move(action)) {}

    void onIrpEvent(const sim::IrpEvent& event) override {
        if (event.kind != sim::IrpEvent::Kind::Allocated || std::this_thread::get_id() != thread_ ||
            remaining_ == 0 || !isChunkAllocation(event.site))
            return;
        if (--remaining_ == 0)
            action_();
    }

private:
    // The kernel image's compiler folds the chunk's builder into the transfer's routine: there the
    // site bears that routine's name.
    static bool isChunkAllocation(const SimCallSite& site) {
        if (sim::image::drivingImage())
            return std::strcmp(site.function, "TransferData") == 0;
        return std::strstr(site.file, "io/transfer.cpp") != nullptr;
    }

    const std::thread::id thread_;
    int remaining_; // touched on thread_ only
    std::function<void()> action_;
};

class TransferCancelTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        system_.dispatcher().setHangLimit(20s); // a request that never ends fails soon
    }

    void start(bool reading, std::vector<std::uint8_t>& buffer, OVERLAPPED& overlapped) {
        overlapped = OVERLAPPED{};
        const auto length = static_cast<DWORD>(buffer.size());
        const BOOL done =
            reading ? ReadFile(handle_.get(), buffer.data(), length, nullptr, &overlapped)
                    : WriteFile(handle_.get(), buffer.data(), length, nullptr, &overlapped);
        ASSERT_FALSE(done);
        ASSERT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    }
    Outcome end(OVERLAPPED& overlapped, HANDLE handle = nullptr) {
        DWORD moved = 0;
        const BOOL ok =
            GetOverlappedResult(handle ? handle : handle_.get(), &overlapped, &moved, TRUE);
        return outcome(ok, moved);
    }
    // 64 KiB written and read back, ten times, on the handle, in thread mode (what the device
    // held before is dropped).
    void expectLoopbackPasses() {
        for (const UCHAR endpoint : {kIn, kOut})
            bus_.controller().setMode(endpoint, CompletionMode::Thread);
        takeQueued();
        std::vector<std::uint8_t> out(65536), in(65536);
        for (int round = 0; round < 10; ++round) {
            for (std::size_t i = 0; i < out.size(); ++i)
                out[i] = static_cast<std::uint8_t>(i * 7 + round);
            ASSERT_EQ(write(out.data(), 65536).bytes, 65536u);
            ASSERT_EQ(read(in.data(), 65536).bytes, 65536u);
            ASSERT_EQ(in, out) << "round " << round;
        }
    }
    PIRP request() { return ReadShared(ext()->PendingTransferIrp); }
    // The handle closed and the device removed, whatever became of it.
    void closeAndRemove() {
        handle_.close();
        if (node_->state != sim::DeviceNodeState::Deleted)
            takeDown(*node_);
    }
};

// CancelIo ends a read that waits at a device with nothing to send, in every completion mode and
// whether the chunk's cancelled completion comes inside the cancel or a while after it; the same
// handle then moves data as before.
TEST_F(TransferCancelTest, CancelIoEndsAReadAtASilentDeviceAndTheHandleWorksOn) {
    startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
    for (const CompletionMode mode :
         {CompletionMode::Inline, CompletionMode::Thread, CompletionMode::Held}) {
        for (const auto latency : {0ms, 50ms}) {
            SCOPED_TRACE(completionModeName({mode, 0}) + ", cancel latency " +
                         std::to_string(latency.count()) + " ms");
            bus_.controller().setMode(mode);
            bus_.controller().setCancelLatency(latency);
            std::vector<std::uint8_t> buffer(16);
            OVERLAPPED overlapped{};
            start(true, buffer, overlapped);
            ASSERT_TRUE(bus_.controller().waitForInFlight(1, kIn));
            const auto cancelled = std::chrono::steady_clock::now();
            EXPECT_TRUE(CancelIo(handle_.get()));
            const Outcome result = end(overlapped);
            EXPECT_LT(std::chrono::steady_clock::now() - cancelled, 1s);
            EXPECT_EQ(result.error, DWORD{ERROR_OPERATION_ABORTED});
            EXPECT_EQ(result.bytes, 0u);
            bus_.controller().setCancelLatency(0ms);
            expectLoopbackPasses();
        }
    }
}

// The chunks served before the cancel count, in order, and hold the device's bytes (a read) or
// are exactly what the device got (a write); the cancelled ones count nothing.
TEST_F(TransferCancelTest, ACancelledRequestCountsTheChunksServedBeforeIt) {
    startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
    for (const bool reading : {true, false}) {
        for (const DWORD served : {0u, 1u, 2u}) {
            SCOPED_TRACE(std::string(reading ? "read" : "write") + ", chunks served " +
                         std::to_string(served));
            const UCHAR endpoint = reading ? kIn : kOut;
            bus_.controller().setMode(endpoint, CompletionMode::Held);
            const std::vector<std::uint8_t> data = queuePattern(3 * kChunk);
            if (!reading)
                takeQueued(); // the pattern is what is written
            std::vector<std::uint8_t> buffer =
                reading ? std::vector<std::uint8_t>(3 * kChunk) : data;
            OVERLAPPED overlapped{};
            start(reading, buffer, overlapped);
            ASSERT_TRUE(bus_.controller().waitForInFlight(3, endpoint));
            for (DWORD i = 0; i < served; ++i)
                ASSERT_EQ(bus_.controller().releaseHeld(endpoint, 1), 1u);
            EXPECT_TRUE(CancelIo(handle_.get()));
            const Outcome result = end(overlapped);
            EXPECT_EQ(result.error, DWORD{ERROR_OPERATION_ABORTED});
            EXPECT_EQ(result.bytes, served * kChunk);
            const std::vector<std::uint8_t> got = reading ? buffer : takeQueued();
            ASSERT_GE(got.size(), served * kChunk);
            EXPECT_TRUE(std::equal(data.begin(), data.begin() + served * kChunk, got.begin()));
            if (!reading) {
                EXPECT_EQ(got.size(), served * kChunk) << "the device got more than was counted";
            }
            takeQueued();
            bus_.controller().setMode(endpoint, CompletionMode::Thread);
        }
    }
}

// A cancel, or a stop or removal walking the chunks, that comes before the first chunk goes or
// while the chunks are being sent: nothing is sent after it. A request that sent nothing ends with
// ERROR_OPERATION_ABORTED, or ERROR_ACCESS_DENIED (STATUS_DELETE_PENDING) when the device went
// away after the request passed the gate; one that sent chunks counts what they moved.
TEST_F(TransferCancelTest, ACancelOrAWalkBeforeOrBetweenChunksStopsTheSending) {
    enum class Act { Cancel, SurpriseRemoval };
    struct Case {
        const char* what;
        CompletionMode mode;
        int chunk; // the hook acts as this chunk is built
        Act act;
        DWORD error;
        DWORD bytes;
        std::size_t sent;
    };
    const Case cases[] = {
        {"cancel before the first chunk", CompletionMode::Held, 1, Act::Cancel,
         ERROR_OPERATION_ABORTED, 0, 0},
        {"surprise removal before the first chunk", CompletionMode::Held, 1, Act::SurpriseRemoval,
         ERROR_ACCESS_DENIED, 0, 0},
        {"cancel before the second chunk, the first held", CompletionMode::Held, 2, Act::Cancel,
         ERROR_OPERATION_ABORTED, 0, 1},
        {"cancel before the second chunk, the first served", CompletionMode::Inline, 2, Act::Cancel,
         ERROR_OPERATION_ABORTED, kChunk, 1},
        {"surprise removal before the third chunk, two served", CompletionMode::Inline, 3,
         Act::SurpriseRemoval, ERROR_SUCCESS, 2 * kChunk, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
        bus_.controller().setMode(kIn, c.mode);
        const std::vector<std::uint8_t> data = queuePattern(4 * kChunk);
        recorder_.clear();
        ChunkAllocationHook hook(c.chunk, [&] {
            if (c.act == Act::Cancel)
                IoCancelIrp(request());
            else
                EXPECT_EQ(system_.pnp().surpriseRemove(*node_), STATUS_SUCCESS);
        });
        system_.io().setObserver(&hook);
        std::vector<std::uint8_t> buffer(4 * kChunk);
        OVERLAPPED overlapped{};
        const BOOL done = ReadFile(handle_.get(), buffer.data(), 4 * kChunk, nullptr, &overlapped);
        system_.io().setObserver(nullptr);
        EXPECT_TRUE(!done && GetLastError() == ERROR_IO_PENDING);
        const Outcome result = end(overlapped);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(result.bytes, c.bytes);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + c.bytes, data.begin()));
        EXPECT_EQ(bulkUrbs(), c.sent);
        if (c.act == Act::Cancel)
            expectLoopbackPasses();
        closeAndRemove();
    }
}

// The cancel comes as the device serves the last chunk, too late to cut anything short: the
// request ends once, with all its bytes, and the device takes the next one.
TEST_F(TransferCancelTest, ACancelAsTheLastChunkIsServedLeavesTheRequestWhole) {
    auto model = std::make_shared<InterposedLoopback>();
    startAndOpen(model, FILE_FLAG_OVERLAPPED);
    int offers = 0;
    model->before = [&](UCHAR endpoint) -> std::optional<sim::usb::TransferResult> {
        if (endpoint == kIn && ++offers == 3) {
            EXPECT_TRUE(IoCancelIrp(request())) << "the request had no cancel routine";
        }
        return std::nullopt;
    };
    const std::vector<std::uint8_t> data = queuePattern(3 * kChunk);
    std::vector<std::uint8_t> buffer(3 * kChunk);
    OVERLAPPED overlapped{};
    start(true, buffer, overlapped);
    const Outcome result = end(overlapped);
    EXPECT_EQ(result.error, DWORD{ERROR_SUCCESS});
    EXPECT_EQ(result.bytes, 3 * kChunk);
    EXPECT_EQ(buffer, data);
    model->before = nullptr;
    expectLoopbackPasses();
}

// The device is free before a request's completion reaches the application, whether its chunks or
// its cancel ended it: a read sent from inside that completion (as an application's completion
// routine does) is never refused as busy.
TEST_F(TransferCancelTest, TheNextReadSentFromInsideTheCompletionIsNeverBusy) {
    startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
    bus_.controller().setMode(CompletionMode::Inline); // completions on this thread, at passive
    const auto file = system_.process().get<sim::app::File>(handle_.get())->object;
    auto* first = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 16, MEM_COMMIT, PAGE_READWRITE));
    auto* second =
        static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 16, MEM_COMMIT, PAGE_READWRITE));
    for (const bool cancelled : {false, true}) {
        SCOPED_TRACE(cancelled ? "the first cancelled" : "the first served");
        IO_STATUS_BLOCK firstEnd{}, secondEnd{};
        std::atomic<bool> secondDone{false};
        sim::Submission next{};
        const auto secondDoneRoutine = [&](const IO_STATUS_BLOCK& result) {
            secondEnd = result;
            secondDone.store(true);
        };
        const auto firstDoneRoutine = [&](const IO_STATUS_BLOCK& result) {
            firstEnd = result;
            next = system_.files().transfer(file, IRP_MJ_READ, second, 16, secondDoneRoutine);
        };
        if (!cancelled)
            queuePattern(32);
        system_.files().transfer(file, IRP_MJ_READ, first, 16, firstDoneRoutine);
        if (cancelled) {
            system_.files().cancelOwn(file);
            queuePattern(16);
        }
        ASSERT_TRUE(eventually([&] { return secondDone.load(); }));
        EXPECT_EQ(firstEnd.Status, cancelled ? STATUS_CANCELLED : STATUS_SUCCESS);
        EXPECT_NE(next.status, STATUS_DEVICE_BUSY);
        EXPECT_EQ(secondEnd.Status, STATUS_SUCCESS);
        EXPECT_EQ(secondEnd.Information, 16u);
    }
    VirtualFree(first, 0, MEM_RELEASE);
    VirtualFree(second, 0, MEM_RELEASE);
}

// The platform cancels the requests of a thread that ends, and of every thread of a process that
// exits, and waits for them: an application that ends with a read or a write in flight ends, and
// the next open finds the device free.
TEST_F(TransferCancelTest, AnApplicationEndingWithARequestInFlightEndsAndTheNextOpenWorks) {
    for (const bool reading : {true, false}) {
        for (const bool wholeProcess : {false, true}) {
            SCOPED_TRACE(std::string(reading ? "a read" : "a write") +
                         (wholeProcess ? ", the process exits" : ", its thread ends"));
            startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
            const UCHAR endpoint = reading ? kIn : kOut;
            bus_.controller().setMode(endpoint, CompletionMode::Held);
            std::vector<std::uint8_t> buffer(2 * kChunk, 0x42);
            OVERLAPPED overlapped{};
            Outcome result;
            std::thread application([&] {
                if (wholeProcess) { // a synchronous request, waiting when its process exits
                    result = reading ? read(buffer.data(), 2 * kChunk)
                                     : write(buffer.data(), 2 * kChunk);
                    return;
                }
                start(reading, buffer, overlapped);
                system_.process().endThread();
            });
            if (wholeProcess) {
                ASSERT_TRUE(bus_.controller().waitForInFlight(2, endpoint));
                system_.process().exit();
            }
            application.join();
            if (!wholeProcess)
                result = end(overlapped);
            EXPECT_EQ(result.error, DWORD{ERROR_OPERATION_ABORTED});
            EXPECT_EQ(result.bytes, 0u);
            EXPECT_EQ(bus_.controller().inFlightCount(), 0u);
            bus_.controller().setMode(endpoint, CompletionMode::Thread);

            handle_.close();
            handle_ = openDevice(GUID_DEVINTERFACE_WDMUSB, FILE_FLAG_OVERLAPPED,
                                 devicePaths(GUID_DEVINTERFACE_WDMUSB).size() - 1);
            ASSERT_TRUE(handle_.valid()) << "error " << GetLastError();
            expectLoopbackPasses();
            closeAndRemove();
        }
    }
}

// A request its thread's end cancelled but that stays in flight (the bus does not let its chunk be
// cancelled) is a finding after the wait: the platform's hung thread termination.
TEST_F(TransferCancelTest, ARequestStillInFlightLongAfterItsThreadEndedIsAFinding) {
    startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
    system_.files().setCancelWaitLimit(200ms);
    node_->busDevice->faults().add(
        UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).endpoint(kIn).refuseCancel());
    bus_.controller().setMode(kIn, CompletionMode::Held);
    std::vector<std::uint8_t> buffer(16);
    OVERLAPPED overlapped{};
    std::thread application([&] {
        start(true, buffer, overlapped);
        system_.process().endThread();
    });
    application.join();
    expectFinding(sim::Rule::CancelledRequestHung, "after the end of its thread cancelled it");

    queuePattern(16); // the device answers at last: every byte moved, so the read succeeds
    bus_.controller().releaseHeld(kIn);
    const Outcome result = end(overlapped);
    EXPECT_EQ(result.error, DWORD{ERROR_SUCCESS});
    EXPECT_EQ(result.bytes, 16u);
}

// Cancels racing the chunks' completions, a stop, a surprise removal and a removal, round after
// round on a fresh device: every request ends, with a count that is what the device did, and the
// device leaves nothing behind. WDMUSB_STRESS_ROUNDS raises the rounds.
TEST_F(TransferCancelTest, CancelsRacingCompletionsStopsAndRemovalsLeaveNothingBehind) {
    enum class Rival { Completion, Stop, SurpriseRemoval, Removal };
    const char* const names[] = {"completion", "stop", "surprise removal", "removal"};
    const std::size_t irpsAtRest = system_.io().liveIrpCount();
    for (int round = 0; round < stressRounds(24) && !HasFatalFailure(); ++round) {
        const auto rival = static_cast<Rival>(round % 4);
        const bool reading = (round / 4) % 2 == 0;
        const DWORD length = (1 + round % 16) * kChunk - (round % 3) * 100;
        SCOPED_TRACE("round " + std::to_string(round) + ": " + (reading ? "read" : "write") +
                     " of " + std::to_string(length) + " against " +
                     names[static_cast<int>(rival)]);
        startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
        const std::vector<std::uint8_t> data = queuePattern(length);
        if (!reading || rival != Rival::Completion)
            takeQueued();
        std::vector<std::uint8_t> buffer = reading ? std::vector<std::uint8_t>(length) : data;
        OVERLAPPED overlapped{};
        start(reading, buffer, overlapped);
        std::thread other([&] {
            switch (rival) {
            case Rival::Completion:
                break; // the device serves the chunks meanwhile
            case Rival::Stop:
                system_.pnp().stopDevice(*node_);
                break;
            case Rival::SurpriseRemoval:
                system_.pnp().surpriseRemove(*node_);
                break;
            case Rival::Removal:
                system_.pnp().removeDevice(*node_);
                break;
            }
        });
        std::this_thread::sleep_for(std::chrono::microseconds(50 * (round % 7)));
        CancelIo(handle_.get());
        const Outcome result = end(overlapped);
        other.join();

        EXPECT_LE(result.bytes, length);
        if (reading) {
            EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + result.bytes, data.begin()));
        } else if (result.error != ERROR_CRC) {
            EXPECT_EQ(takeQueued().size(), result.bytes) << "what the device got, counted";
        }
        closeAndRemove();
        bus_.controller().waitIdle();
        EXPECT_EQ(driverBlocks(), 0u);
        EXPECT_EQ(system_.io().liveIrpCount(), irpsAtRest);
    }
}

} // namespace
} // namespace wdmusb::test
