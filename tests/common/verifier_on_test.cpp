// Linked into every test binary: the verifier is on in the Systems its tests make, and no test of
// the binary made one with it off (only the benchmarks do, to measure its price).
#include <gtest/gtest.h>

#include "sim/core/system.h"
#include "sim/verifier/verifier.h"

namespace {

// Checked when the binary's tests have run, whichever of them ran.
class NoSystemRanWithoutTheVerifier : public ::testing::Environment {
public:
    void TearDown() override {
        EXPECT_EQ(sim::verifiersMadeOff(), 0u)
            << "a test of this binary ran a simulated system with the verifier off";
    }
};

[[maybe_unused]] ::testing::Environment* const kNoSystemRanWithoutTheVerifier =
    ::testing::AddGlobalTestEnvironment(new NoSystemRanWithoutTheVerifier);

TEST(VerifierSwitch, IsOnInASystemMadeAsTestsMakeThem) {
    sim::System system;
    EXPECT_TRUE(system.verifier().on());
    EXPECT_EQ(sim::verifiersMadeOff(), 0u);
}

} // namespace
