#include "tests/support/sim_fixture.h"

namespace wdmusb::test {

void SimTest::TearDown() {
    system_.checkLeaks();
    for (const auto& finding : system_.verifier().takeAll())
        ADD_FAILURE() << "verifier [" << sim::ruleName(finding.rule) << "] " << finding.message;
}

std::vector<sim::Finding> SimTest::expectFinding(sim::Rule rule, const std::string& mentions) {
    auto found = system_.verifier().take(rule);
    EXPECT_FALSE(found.empty()) << "expected a finding of rule " << sim::ruleName(rule);
    for (const auto& f : found)
        EXPECT_NE(f.message.find(mentions), std::string::npos)
            << "finding does not mention '" << mentions << "': " << f.message;
    return found;
}

} // namespace wdmusb::test
