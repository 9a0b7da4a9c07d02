// Repeated Plug and Play cycles: each must leave nothing behind (no pool block, no IRP, no
// verifier finding) however often it runs. 100 rounds each by default; WDMUSB_STRESS_ROUNDS
// sets another number for longer runs.
#include <gtest/gtest.h>

#include "tests/driver/client_fixture.h"

namespace wdmusb::test {
namespace {

constexpr int kRounds = 100;

class PnpCyclesTest : public DriverOnBusTest {
protected:
    void expectNoFinding() {
        for (const auto& finding : system_.verifier().takeAll())
            ADD_FAILURE() << "verifier [" << sim::ruleName(finding.rule) << "] " << finding.message;
    }
};

TEST_F(PnpCyclesTest, Rebalances) {
    sim::DeviceNode& node = plugAndStart();
    const std::size_t blocks = driverBlocks();
    for (int round = 0; round < stressRounds(kRounds); ++round) {
        const sim::StopResult rebalance = system_.pnp().stop(node);
        ASSERT_EQ(rebalance.outcome, sim::StopOutcome::Restarted) << "round " << round;
        ASSERT_TRUE(IsAcceptingRequests(fdoOf(node)));
        ASSERT_EQ(driverBlocks(), blocks) << "round " << round;
    }
    expectNoFinding();
}

// Each round the device is pulled out with a read in flight whose chunks wait for data that never
// comes: the bus fails them as the device leaves while the surprise removal cancels them; the
// application's close then sends the removal, which deletes the FDO, and the device is plugged in
// again.
TEST_F(PnpCyclesTest, SurpriseRemovalsWithAReadInFlightAndReplugs) {
    const std::size_t irpsAtRest = system_.io().liveIrpCount();
    std::vector<std::uint8_t> buffer(65536);
    for (int round = 0; round < stressRounds(kRounds); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        sim::DeviceNode& node = plugAndStart();
        ASSERT_EQ(node.startStatus, STATUS_SUCCESS);
        AppHandle handle = openDevice(GUID_DEVINTERFACE_WDMUSB, FILE_FLAG_OVERLAPPED);
        const DWORD bytes = (1 + round % 16) * 4096;
        OVERLAPPED overlapped{};
        ASSERT_FALSE(ReadFile(handle.get(), buffer.data(), bytes, nullptr, &overlapped));
        ASSERT_EQ(system_.pnp().surpriseRemove(node), STATUS_SUCCESS);
        DWORD moved = 1;
        EXPECT_TRUE(GetOverlappedResult(handle.get(), &overlapped, &moved, TRUE));
        EXPECT_EQ(moved, 0u);
        handle.close();
        ASSERT_EQ(node.state, sim::DeviceNodeState::Deleted);
        ASSERT_EQ(driverBlocks(), 0u);
        ASSERT_EQ(system_.io().liveIrpCount(), irpsAtRest);
    }
    expectNoFinding();
}

TEST_F(PnpCyclesTest, QueryRemovesCancelled) {
    sim::DeviceNode& node = plugAndStart();
    const std::size_t blocks = driverBlocks();
    PDEVICE_OBJECT fdo = fdoOf(node);
    for (int round = 0; round < stressRounds(kRounds); ++round) {
        ASSERT_EQ(system_.pnp().queryRemove(node), STATUS_SUCCESS) << "round " << round;
        ASSERT_FALSE(IsAcceptingRequests(fdo));
        ASSERT_EQ(system_.pnp().cancelRemove(node), STATUS_SUCCESS) << "round " << round;
        ASSERT_TRUE(IsAcceptingRequests(fdo));
        ASSERT_EQ(extOf(node)->OutstandingIoCount, 1) << "round " << round;
        ASSERT_EQ(driverBlocks(), blocks);
    }
    expectNoFinding();
}

} // namespace
} // namespace wdmusb::test
