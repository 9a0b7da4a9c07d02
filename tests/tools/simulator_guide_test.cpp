// The simulator guide for our users keeps up with the simulator: every verifier rule has its
// entry, every allocation kind its row. A rule or kind added without them fails here.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "sim/faults/fault_injector.h"
#include "sim/verifier/rule.h"

namespace {

std::string guide() {
    std::ifstream in(WDMUSB_SOURCE_DIR "/docs/simulator.md");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(SimulatorGuide, EveryVerifierRuleAndAllocationKindHasItsEntry) {
    const std::string text = guide();
    ASSERT_FALSE(text.empty()) << "docs/simulator.md not found";
    int rules = 0;
    for (int i = 0;; ++i) {
        const std::string name(sim::ruleName(static_cast<sim::Rule>(i)));
        if (name == "unknown-rule")
            break;
        ++rules;
        EXPECT_NE(text.find("- `" + name + "` — "), std::string::npos)
            << "rule " << name << " has no entry in docs/simulator.md";
    }
    EXPECT_GT(rules, 40) << "the rules are numbered from 0 without gaps";
    for (int i = 0; i < sim::kAllocKindCount; ++i) {
        const std::string name(sim::allocKindName(static_cast<sim::AllocKind>(i)));
        EXPECT_NE(text.find("(`" + name + "`)"), std::string::npos)
            << "allocation kind " << name << " has no row in docs/simulator.md";
    }
}

} // namespace
