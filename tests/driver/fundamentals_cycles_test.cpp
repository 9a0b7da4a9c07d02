// Device-fundamentals cycles with an application at work the whole time (traffic.h): surprise
// removal and plugging in again, rebalance, query-remove called off, system sleep and wake (a
// wait-wake armed and signalled in every other round), and opens and closes from four threads at
// once. Every request ends, nothing that reported success lost or changed a byte, the device works
// after each cycle, and nothing is left: no pool block, no IRP, no verifier finding.
//
// A handful of rounds by default; WDMUSB_STRESS_ROUNDS=N runs N of each cycle (12 N opens and
// closes).
#include <gtest/gtest.h>

#include "sim/power/power_manager.h"
#include "tests/driver/client_fixture.h"
#include "tests/driver/traffic.h"
#include "tests/support/eventually.h"

namespace wdmusb::test {
namespace {

constexpr int kRounds = 3;
constexpr std::uint64_t kBytesAround = 32768; // moved before and after each cycle
constexpr int kOpensPerThread = 3;            // 100 rounds: 1,200 opens and closes

class FundamentalsTest;
// What a cycle leaves of the application's stream.
enum class After {
    Kept,     // the device and the handle carry on
    Reopened, // the device kept its bytes, but the handle must be opened again (a rebalance)
    Gone,     // the device left the bus with what it held
};
struct Cycle {
    const char* name;
    bool traffic; // runs with the application's traffic going
    // Runs one cycle (with the traffic going, if `traffic`).
    After (FundamentalsTest::*run)(int round);
    DWORD maxRead = 16384; // the traffic's reads ask for at most this
};

class FundamentalsTest : public ClientTest, public ::testing::WithParamInterface<Cycle> {
public:
    After surpriseRemoval(int) {
        EXPECT_EQ(system_.pnp().surpriseRemove(*node_), STATUS_SUCCESS);
        return After::Gone;
    }
    // Query-stop is refused while a chunk is in flight: the Plug and Play manager asks again. A
    // handle opened before the stop holds pipes the bus no longer knows: it is opened again.
    After rebalance(int) {
        sim::StopOutcome outcome = sim::StopOutcome::Refused;
        for (int tries = 0; tries < 1000 && outcome == sim::StopOutcome::Refused; ++tries)
            outcome = system_.pnp().stop(*node_).outcome;
        EXPECT_EQ(outcome, sim::StopOutcome::Restarted);
        return After::Reopened;
    }
    After queryRemoveCancelled(int) {
        EXPECT_EQ(system_.pnp().queryRemove(*node_), STATUS_SUCCESS);
        EXPECT_FALSE(IsAcceptingRequests(fdo()));
        EXPECT_EQ(system_.pnp().cancelRemove(*node_), STATUS_SUCCESS);
        return After::Kept;
    }
    After sleepAndWake(int round) {
        sim::PowerManager& power = system_.power();
        EXPECT_FALSE(power.setSystemState(PowerSystemSleeping3).vetoed);
        if (round % 2 == 1) { // armed for wake, and woken by the device
            const auto wake = power.sendWaitWake(node_->pdo);
            EXPECT_TRUE(
                eventually([&] { return wake->done() || node_->busDevice->waitWakePending(); }));
            EXPECT_TRUE(node_->busDevice->signalWake());
            EXPECT_TRUE(wake->wait());
            EXPECT_EQ(wake->status(), STATUS_SUCCESS);
        }
        EXPECT_FALSE(power.setSystemState(PowerSystemWorking).vetoed);
        return After::Kept;
    }
    // One handle at a time: four threads race to open the device, kOpensPerThread times each;
    // whoever wins moves a verified block through it and closes, the others are refused and try
    // again. Runs without the traffic, whose handle would win every race.
    After opensAndCloses(int) {
        std::vector<std::thread> openers;
        openers.reserve(4);
        std::atomic<int> won{0}, corrupt{0}, lost{0};
        for (int t = 0; t < 4; ++t)
            openers.emplace_back([&, t] {
                std::vector<std::uint8_t> out(512, static_cast<std::uint8_t>(t)), back(512);
                for (int mine = 0, tries = 0; mine < kOpensPerThread && tries < 100000; ++tries) {
                    AppHandle handle = openDevice(GUID_DEVINTERFACE_WDMUSB);
                    if (!handle.valid()) {
                        std::this_thread::yield();
                        continue;
                    }
                    ++mine;
                    ++won;
                    // A request right after an open may be cut short while the last close's
                    // power-down is under way: what was written is read back, all of it.
                    const Outcome wrote = write(out.data(), 512, handle.get());
                    DWORD got = 0;
                    for (int n = 0; wrote.ok && got < wrote.bytes && n < 1000; ++n) {
                        const Outcome part =
                            read(back.data() + got, wrote.bytes - got, handle.get());
                        got += part.ok ? part.bytes : 0;
                    }
                    lost += got != (wrote.ok ? wrote.bytes : 0) ? 1 : 0;
                    corrupt += std::equal(back.begin(), back.begin() + got, out.begin()) ? 0 : 1;
                }
            });
        for (auto& opener : openers)
            opener.join();
        EXPECT_EQ(won.load(), 4 * kOpensPerThread) << "opens that never won";
        EXPECT_EQ(lost.load(), 0) << "round trips that read back short";
        EXPECT_EQ(corrupt.load(), 0) << "round trips that read another handle's bytes";
        return After::Kept;
    }

protected:
    void expectAtRest(std::size_t blocks) {
        system_.power().waitIdle();
        if (node_->state != sim::DeviceNodeState::Deleted) {
            EXPECT_TRUE(eventually([&] { return ReadShared(ext()->OutstandingIoCount) == 1; }))
                << "requests still counted: " << ReadShared(ext()->OutstandingIoCount);
            EXPECT_EQ(driverBlocks(), blocks) << "the cycle left pool behind";
        }
        for (const auto& finding : system_.verifier().takeAll())
            ADD_FAILURE() << "verifier [" << sim::ruleName(finding.rule) << "] " << finding.message;
    }
};

TEST_P(FundamentalsTest, CyclesWithReadsWritesAndControlCodesRunning) {
    startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
    const std::size_t irpsAtRest = system_.io().liveIrpCount();
    const std::size_t blocks = driverBlocks();
    std::uint64_t moved = 0, controls = 0;
    const int rounds = stressRounds(kRounds);
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        SCOPED_TRACE(std::string(GetParam().name) + " round " + std::to_string(round));
        if (!GetParam().traffic) {
            handle_.close();
            (this->*GetParam().run)(round);
            handle_ = openDevice(GUID_DEVINTERFACE_WDMUSB, FILE_FLAG_OVERLAPPED);
            ASSERT_TRUE(handle_.valid());
            expectAtRest(blocks);
            continue;
        }
        const auto refill = [&] { loopback().queueData(std::vector<std::uint8_t>(1)); };
        Traffic traffic(handle_.get(), GetParam().maxRead);
        ASSERT_TRUE(traffic.progress(kBytesAround)) << "no data moved before the cycle";
        const After after = (this->*GetParam().run)(round);
        if (after == After::Kept) {
            EXPECT_TRUE(traffic.progress(kBytesAround)) << "the device stopped working";
        }
        EXPECT_TRUE(traffic.stop(after == After::Kept, refill))
            << "bytes lost: " << traffic.written() << " written, " << traffic.read() << " read";
        if (after != After::Kept)
            handle_.close(); // after a surprise removal, the last close brings the removal
        if (after == After::Gone) {
            EXPECT_EQ(node_->state, sim::DeviceNodeState::Deleted);
            EXPECT_EQ(driverBlocks(), 0u);
            EXPECT_EQ(system_.io().liveIrpCount(), irpsAtRest);
            expectAtRest(0);
            startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
        }
        if (after == After::Reopened) {
            handle_ = openDevice(GUID_DEVINTERFACE_WDMUSB, FILE_FLAG_OVERLAPPED);
            EXPECT_TRUE(traffic.drainThrough(handle_.get(), refill))
                << "bytes lost: " << traffic.written() << " written, " << traffic.read() << " read";
        }
        EXPECT_EQ(traffic.problems(), "");
        moved += traffic.read();
        controls += traffic.controlsDone();
        if (after != After::Gone)
            expectAtRest(blocks);
    }
    EXPECT_TRUE(!GetParam().traffic || controls > 0) << "no control code went through";
    std::printf("%s: %d round(s), %llu bytes verified, %llu control codes\n", GetParam().name,
                rounds, static_cast<unsigned long long>(moved),
                static_cast<unsigned long long>(controls));
}

std::string cycleName(const ::testing::TestParamInfo<Cycle>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cycles, FundamentalsTest,
    ::testing::Values(Cycle{"SurpriseRemoval", true, &FundamentalsTest::surpriseRemoval},
                      Cycle{"Rebalance", true, &FundamentalsTest::rebalance},
                      Cycle{"QueryRemoveCancelled", true, &FundamentalsTest::queryRemoveCancelled},
                      Cycle{"SleepAndWake", true, &FundamentalsTest::sleepAndWake},
                      Cycle{"OpensAndCloses", false, &FundamentalsTest::opensAndCloses}),
    cycleName);

} // namespace
} // namespace wdmusb::test
