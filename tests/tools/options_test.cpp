// The command line: --help names every option, each mistake gets a clear message and exit
// status 2, and the options a run needs are read as given.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/wdmusb-sim/cli/options.h"

namespace wdmusbsim {
namespace {

struct Parsed {
    std::variant<Options, int> result;
    std::string out;
    std::string err;
};

Parsed parse(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    Parsed parsed{parseOptions(args, out, err), "", ""};
    parsed.out = out.str();
    parsed.err = err.str();
    return parsed;
}

TEST(Options, HelpNamesEveryOptionAndTheExitStatuses) {
    const Parsed help = parse({"--help"});
    ASSERT_EQ(std::get<int>(help.result), kExitPassed);
    for (const char* named :
         {"--seed", "--repeat", "--capture", "--trace", "--color", "--commands", "--check",
          "--hang-limit", "scenario", "NO_COLOR", "Exit status", "docs/scenarios.md"})
        EXPECT_NE(help.out.find(named), std::string::npos) << named << "\n" << help.out;
}

TEST(Options, NoArgumentsRunTheBuiltInScenarioOnce) {
    const Parsed none = parse({});
    const auto& options = std::get<Options>(none.result);
    EXPECT_TRUE(options.scenarios.empty());
    EXPECT_FALSE(options.seed.has_value());
    EXPECT_EQ(options.repeat, 1u);
    EXPECT_TRUE(options.capture.empty());
    EXPECT_FALSE(options.trace);
    EXPECT_EQ(options.color, ColorChoice::Auto);
}

TEST(Options, RunOptionsAreReadAsGiven) {
    const Parsed parsed = parse({"--seed", "77", "--repeat=5", "--capture", "out.pcap", "--trace",
                                 "--color", "never", "--hang-limit", "3"});
    const auto& options = std::get<Options>(parsed.result);
    EXPECT_EQ(options.seed, 77u);
    EXPECT_EQ(options.repeat, 5u);
    EXPECT_EQ(options.capture, "out.pcap");
    EXPECT_TRUE(options.trace);
    EXPECT_EQ(options.color, ColorChoice::Never);
    EXPECT_EQ(options.hangLimitSeconds, 3u);
}

TEST(Options, EachMistakeIsNamedAndEndsWithStatus2) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const Case cases[] = {
        {{"--seed", "abc"}, "--seed"},
        {{"--seed", "-1"}, "--seed"},
        {{"--repeat", "0"}, "--repeat"},
        {{"--color", "purple"}, "--color"},
        {{"--bogus"}, "--bogus"},
        {{"no-such-file.scenario"}, "no-such-file.scenario"},
        {{"--capture"}, "--capture"},
        {{"--check"}, "needs scenario files"},
        {{"--hang-limit", "0"}, "--hang-limit"},
    };
    for (const Case& c : cases) {
        const Parsed parsed = parse(c.args);
        ASSERT_TRUE(std::holds_alternative<int>(parsed.result)) << c.args[0];
        EXPECT_EQ(std::get<int>(parsed.result), kExitUsage) << c.args[0];
        EXPECT_NE(parsed.err.find(c.says), std::string::npos) << c.args[0] << ": " << parsed.err;
        EXPECT_NE(parsed.err.find("--help"), std::string::npos) << "points to the help";
    }
}

TEST(Options, ACaptureTakesOneScenario) {
    const std::string file = WDMUSB_SOURCE_DIR "/scenarios/rebalance.scenario";
    const Parsed parsed = parse({"--capture", "x.pcap", file, file});
    ASSERT_TRUE(std::holds_alternative<int>(parsed.result));
    EXPECT_NE(parsed.err.find("one scenario at a time"), std::string::npos) << parsed.err;
}

} // namespace
} // namespace wdmusbsim
