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

namespace wdmusb::test {
namespace {

constexpr int kRounds = 3;
constexpr std::uint64_t kBytesAround = 32768; // moved before and after each cycle
constexpr int kOpensPerThread = 3;            // 100 rounds: 1,200 opens and closes

class FundamentalsTest;
struct Cycle {
    const char* name;
    bool traffic; // runs with the application's traffic going
    // Runs one cycle with the traffic going; false when the device does not keep its stream (it
    // left the bus), so the traffic is stopped without reading back what was sent.
    bool (FundamentalsTest::*run)(int round);
};

class FundamentalsTest : public ClientTest, public ::testing::WithParamInterface<Cycle> {
public:
    bool surpriseRemoval(int) {
        EXPECT_EQ(system_.pnp().surpriseRemove(*node_), STATUS_SUCCESS);
        return false;
    }
    // Query-stop is refused while a chunk is in flight: the Plug and Play manager asks again.
    bool rebalance(int) {
        sim::StopOutcome outcome = sim::StopOutcome::Refused;
        for (int tries = 0; tries < 1000 && outcome == sim::StopOutcome::Refused; ++tries)
            outcome = system_.pnp().stop(*node_).outcome;
        EXPECT_EQ(outcome, sim::StopOutcome::Restarted);
        return true;
    }
    bool queryRemoveCancelled(int) {
        EXPECT_EQ(system_.pnp().queryRemove(*node_), STATUS_SUCCESS);
        EXPECT_FALSE(IsAcceptingRequests(fdo()));
        EXPECT_EQ(system_.pnp().cancelRemove(*node_), STATUS_SUCCESS);
        return true;
    }
    bool sleepAndWake(int round) {
        sim::PowerManager& power = system_.power();
        EXPECT_FALSE(power.setSystemState(PowerSystemSleeping3).vetoed);
        if (round % 2 == 1) { // armed for wake, and woken by the device
            const auto wake = power.sendWaitWake(node_->pdo);
            EXPECT_TRUE(poll([&] { return wake->done() || node_->busDevice->waitWakePending(); }));
            EXPECT_TRUE(node_->busDevice->signalWake());
            EXPECT_TRUE(wake->wait());
            EXPECT_EQ(wake->status(), STATUS_SUCCESS);
        }
        EXPECT_FALSE(power.setSystemState(PowerSystemWorking).vetoed);
        return true;
    }
    // One handle at a time: four threads race to open the device, kOpensPerThread times each;
    // whoever wins moves a verified block through it and closes, the others are refused and try
    // again. Runs without the traffic, whose handle would win every race.
    bool opensAndCloses(int) {
        std::vector<std::thread> openers;
        std::atomic<int> won{0}, corrupt{0};
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
                    const Outcome wrote = write(out.data(), 512, handle.get());
                    const Outcome read = ClientTest::read(back.data(), 512, handle.get());
                    corrupt += wrote.ok && read.ok && (wrote.bytes != 512 || read.bytes != 512 ||
                                                       back != out);
                }
            });
        for (auto& opener : openers)
            opener.join();
        EXPECT_EQ(won.load(), 4 * kOpensPerThread) << "opens that never won";
        EXPECT_EQ(corrupt.load(), 0) << "a block came back changed";
        return true;
    }

protected:
    template <typename Done> static bool poll(Done done) {
        for (int i = 0; i < 1000 && !done(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return done();
    }

    void expectAtRest(std::size_t blocks) {
        system_.power().waitIdle();
        if (node_->state != sim::DeviceNodeState::Deleted) {
            EXPECT_TRUE(poll([&] { return ReadShared(ext()->OutstandingIoCount) == 1; }))
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
    std::uint64_t moved = 0;
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
        Traffic traffic(handle_.get());
        ASSERT_TRUE(traffic.progress(kBytesAround)) << "no data moved before the cycle";
        const bool keeps = (this->*GetParam().run)(round);
        if (keeps) {
            EXPECT_TRUE(traffic.progress(kBytesAround)) << "the device stopped working";
        }
        EXPECT_TRUE(traffic.stop(keeps, [&] { loopback().queueData(std::vector<std::uint8_t>(1)); }))
            << "bytes lost: " << traffic.written() << " written, " << traffic.read() << " read";
        EXPECT_EQ(traffic.problems(), "");
        EXPECT_GT(traffic.controlsDone(), 0u) << "no control code went through";
        moved += traffic.read();
        if (!keeps) { // the last close brings the removal; the device comes back
            handle_.close();
            EXPECT_EQ(node_->state, sim::DeviceNodeState::Deleted);
            EXPECT_EQ(driverBlocks(), 0u);
            EXPECT_EQ(system_.io().liveIrpCount(), irpsAtRest);
            expectAtRest(0);
            startAndOpen(nullptr, FILE_FLAG_OVERLAPPED);
        } else {
            expectAtRest(blocks);
        }
    }
    std::printf("%s: %d round(s), %llu bytes verified\n", GetParam().name, rounds,
                static_cast<unsigned long long>(moved));
}

std::string cycleName(const ::testing::TestParamInfo<Cycle>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cycles, FundamentalsTest,
                         ::testing::Values(
                             Cycle{"SurpriseRemoval", true, &FundamentalsTest::surpriseRemoval},
                             Cycle{"Rebalance", true, &FundamentalsTest::rebalance},
                             Cycle{"QueryRemoveCancelled", true, &FundamentalsTest::queryRemoveCancelled},
                             Cycle{"SleepAndWake", true, &FundamentalsTest::sleepAndWake},
                             Cycle{"OpensAndCloses", false, &FundamentalsTest::opensAndCloses}),
                         cycleName);

} // namespace
} // namespace wdmusb::test
