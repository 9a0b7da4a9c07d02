// Low resources at random: the device's whole life (add, start, rebalance, query and cancel of
// removal, surprise removal, removal) with every allocation of the driver and of the platform
// routines it calls failing now and then. Whatever fails, each life must end with the driver's
// pool given back and no verifier finding. Each round's seed is printed so a failure can be
// replayed with WDMUSB_FAULT_SEED.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/driver/driver_on_bus.h"

namespace wdmusb::test {
namespace {

constexpr unsigned kDefaultFailurePerMille = 60;

// WDMUSB_FAULT_PER_MILLE changes how often an allocation fails.
unsigned failurePerMille() {
    if (const char* value = std::getenv("WDMUSB_FAULT_PER_MILLE"))
        return static_cast<unsigned>(std::strtoul(value, nullptr, 0));
    return kDefaultFailurePerMille;
}

class RandomFaultsTest : public DriverOnBusTest {
protected:
    // One device life under random faults. The Plug and Play manager's own requests never fail;
    // the driver's answers may, and the manager follows them as the platform would.
    void liveOnce() {
        sim::PnpManager& pnp = system_.pnp();
        sim::DeviceNode& node = plug();
        if (NT_SUCCESS(node.addStatus) && !NT_SUCCESS(pnp.start(node)))
            pnp.removeDevice(node); // a device that fails to start is removed
        if (node.state == sim::DeviceNodeState::Started)
            pnp.stop(node);
        if (node.state == sim::DeviceNodeState::Started && NT_SUCCESS(pnp.queryRemove(node)))
            pnp.cancelRemove(node);
        pnp.surpriseRemove(node);
        if (node.state == sim::DeviceNodeState::SurpriseRemoved)
            pnp.removeDevice(node);
    }

    static std::uint32_t firstSeed() {
        if (const char* value = std::getenv("WDMUSB_FAULT_SEED"))
            return static_cast<std::uint32_t>(std::strtoul(value, nullptr, 0));
        return sim::FaultInjector::freshSeed();
    }
};

TEST_F(RandomFaultsTest, EveryLifeEndsCleanWhateverFails) {
    const std::uint32_t first = firstSeed();
    const int rounds = stressRounds(40);
    std::uint64_t injected = 0;
    for (int round = 0; round < rounds; ++round) {
        const std::uint32_t seed = first + static_cast<std::uint32_t>(round);
        SCOPED_TRACE("replay with WDMUSB_FAULT_SEED=" + std::to_string(seed) +
                     " WDMUSB_STRESS_ROUNDS=1");
        system_.faults().failRandomly(seed, failurePerMille());
        liveOnce();
        injected += system_.faults().failuresInjected();
        system_.faults().reset();

        EXPECT_EQ(driverBlocks(), 0u) << "the driver's pool was not all given back";
        for (const auto& finding : system_.verifier().takeAll())
            ADD_FAILURE() << "verifier [" << sim::ruleName(finding.rule) << "] " << finding.message;
        if (HasFailure())
            break;
    }
    EXPECT_GT(injected, 0u) << "no allocation was failed: the test proved nothing";
}

} // namespace
} // namespace wdmusb::test
