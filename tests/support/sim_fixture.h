// The fixture every simulator-backed test uses: a fresh simulated system per test, and at the end
// the leak checks and a failure for every verifier finding the test did not take on purpose.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/core/system.h"

namespace wdmusb::test {

class SimTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Takes the findings of a rule the test broke on purpose; fails unless there is at least one
    // and every one mentions `mentions` (when given).
    std::vector<sim::Finding> expectFinding(sim::Rule rule, const std::string& mentions = "");

    sim::System system_;
};

} // namespace wdmusb::test
