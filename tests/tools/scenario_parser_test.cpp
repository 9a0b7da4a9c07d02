// The scenario language as the parser reads it: what a line may hold, and for each kind of
// mistake the one error that names its line, its column and what was expected there.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/host/host_platform.h"
#include "tools/wdmusb-sim/scenario/parser.h"
#include "tools/wdmusb-sim/scenario/reference.h"

namespace wdmusbsim {
namespace {

ParseResult parse(std::string_view text) {
    return parseScenario("test.scenario", text);
}

// One step read from a line, after `plug dev` and `plug other`.
Step stepOf(std::string_view line) {
    const std::string text = "plug dev\nplug other\n" + std::string(line) + "\n";
    ParseResult result = parse(text);
    EXPECT_TRUE(result.ok()) << (result.errors.empty() ? "" : result.errors[0].format());
    EXPECT_EQ(result.scenario.steps.size(), 3u);
    return result.scenario.steps.empty() ? Step{} : result.scenario.steps.back();
}

TEST(ScenarioParser, ReadsCommandsArgumentsCommentsAndContinuations) {
    const ParseResult result = parse("# a comment\n"
                                     "\n"
                                     "plug dev   # after a command\n"
                                     "fault urb function=select-configuration \\\n"
                                     "          usb=0xC0000004 nth=2\n"
                                     "plug b configuration=\"09 02 \\\n"
                                     "                      09 00\"\n"
                                     "note \"a heading with \\\"quotes\\\"\"\n");
    ASSERT_TRUE(result.ok()) << result.errors[0].format();
    const auto& steps = result.scenario.steps;
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[0].name, "plug");
    EXPECT_EQ(steps[0].word("name"), "dev");
    EXPECT_EQ(steps[0].line(), 3);
    EXPECT_EQ(steps[1].name, "fault urb");
    EXPECT_EQ(steps[1].number("function"),
              static_cast<std::uint64_t>(URB_FUNCTION_SELECT_CONFIGURATION));
    EXPECT_EQ(steps[1].number("usb"), 0xC0000004u);
    EXPECT_EQ(steps[1].number("nth"), 2u);
    EXPECT_EQ(steps[1].word("device"), "dev") << "the last device plugged in";
    EXPECT_EQ(steps[2].find("configuration")->bytes, (std::vector<std::uint8_t>{9, 2, 9, 0}));
    EXPECT_EQ(steps[3].word("text"), "a heading with \"quotes\"");
}

TEST(ScenarioParser, TheDeviceIsNamedByPositionByKeyOrIsTheLastPluggedIn) {
    EXPECT_EQ(stepOf("start").word("device"), "other");
    EXPECT_EQ(stepOf("start dev").word("device"), "dev");
    EXPECT_EQ(stepOf("start device=dev").word("device"), "dev");
    EXPECT_EQ(stepOf("expect state started dev").word("device"), "dev");
    EXPECT_EQ(stepOf("rebalance dev expect=refused").word("expect"), "refused");
}

TEST(ScenarioParser, ValuesOfEachTypeAreReadInTheirForms) {
    struct Case {
        const char* line;
        const char* param;
        std::uint64_t number;
    };
    const Case cases[] = {
        {"release count=12", "count", 12},
        {"release count=0x1f", "count", 0x1f},
        {"release count=64K", "count", 64 * 1024},
        {"release count=1MiB", "count", 1024 * 1024},
        {"mode held endpoint=0x81", "endpoint", 0x81},
        {"start expect=STATUS_DEVICE_DATA_ERROR", "expect",
         static_cast<std::uint32_t>(STATUS_DEVICE_DATA_ERROR)},
        {"start expect=device-data-error", "expect",
         static_cast<std::uint32_t>(STATUS_DEVICE_DATA_ERROR)},
        {"start expect=0xC000009C", "expect", 0xC000009C},
        {"fault urb usb=stall-pid", "usb", static_cast<std::uint32_t>(USBD_STATUS_STALL_PID)},
        {"fault urb function=URB_FUNCTION_ABORT_PIPE", "function", URB_FUNCTION_ABORT_PIPE},
        {"force-pending on", "on", 1},
        {"force-pending no", "on", 0},
        {"expect in-flight 2 within=2s", "within", 2000},
        {"expect in-flight 2 within=250ms", "within", 250},
    };
    for (const Case& c : cases)
        EXPECT_EQ(stepOf(c.line).number(c.param), c.number) << c.line;
}

TEST(ScenarioParser, EachMistakeGetsOneErrorWithItsPlaceAndWhatWasExpected) {
    struct Case {
        const char* line; // after `plug dev`
        int column;
        const char* expected; // a part of the message
    };
    const Case cases[] = {
        {"strat", 1, "expected a command, one of: plug, start"},
        {"strat", 1, "found 'strat' (did you mean 'start'?)"},
        {"expect", 7, "expected what to expect, one of: state, flags"},
        {"expect colour red", 8, "found 'colour'"},
        {"start nobody", 7, "expected the name of a device given before this line ('dev')"},
        {"start expect=STATUS_NOPE", 14, "expected a status (STATUS_SUCCESS"},
        {"release count=lots", 15, "expected a number (12, 0x1f, 64K) for count"},
        {"release count=99999999999", 15, "expected a number"},
        {"mode sideways", 6, "expected one of inline, thread or held for mode"},
        {"mode held endpoint=0x1FF", 20, "expected a number from 0 to 255"},
        {"plug", 5, "expected NAME for plug: a name"},
        {"plug b descriptor=12G4", 19, "expected hex bytes"},
        {"plug b descriptor=123", 19, "expected hex bytes"},
        {"plug b configuration=\"09 02", 22, "expected a closing \""},
        {"rebalance expect=maybe", 18, "one of restarted, refused"},
        {"wait nobody", 6, "expected the name of a task given before this line (none yet)"},
        {"start dev extra", 11, "expected no more arguments for start"},
        {"= start", 1, "expected a command"},
        {"start device=", 14, "expected a value after 'device='"},
        {"start =dev", 7, "expected a parameter name before '='"},
        {"note", 5, "expected TEXT for note: text"},
        {"expect flags started=perhaps", 22, "expected yes or no for started"},
        {"remove start=yes", 8,
         "expected a parameter of remove (device=, expect=, as=), found "
         "'start='"},
        {"start device=dev device=dev", 18, "expected device only once"},
        {"plug dev as=x", 10, "expected a parameter of plug"},
        {"start as=9x", 10, "expected a name"},
        {"expect finding no-such-rule", 16,
         "names (wdmusb-sim --commands lists them), such as irp-completed-twice"},
    };
    for (const Case& c : cases) {
        const ParseResult result = parse("plug dev\n" + std::string(c.line) + "\n");
        ASSERT_EQ(result.errors.size(), 1u) << c.line;
        const Diagnostic& error = result.errors[0];
        EXPECT_EQ(error.at.line, 2) << c.line;
        EXPECT_EQ(error.at.column, c.column) << c.line << ": " << error.message;
        EXPECT_NE(error.message.find(c.expected), std::string::npos)
            << c.line << ": " << error.message;
    }
}

TEST(ScenarioParser, NamesMustBeGivenBeforeTheyAreUsedAndTasksOnlyOnce) {
    EXPECT_NE(parse("start\n").errors.at(0).message.find("plug one in first"), std::string::npos);
    const ParseResult twice = parse("plug dev\nstart as=s\nwait s\nstart as=s\n");
    ASSERT_EQ(twice.errors.size(), 1u);
    EXPECT_EQ(twice.errors[0].at.line, 4);
    EXPECT_NE(twice.errors[0].message.find("'s' was given on line 2"), std::string::npos);
    EXPECT_TRUE(parse("plug dev\nplug dev\n").ok()) << "a device may be plugged in again";
    const ParseResult handle = parse("plug dev\nread app 4\n");
    ASSERT_EQ(handle.errors.size(), 1u);
    EXPECT_NE(handle.errors[0].message.find("expected the name of a handle"), std::string::npos)
        << handle.errors[0].message;
}

TEST(ScenarioParser, ADiagnosticShowsTheLineWithACaretUnderTheColumn) {
    const ParseResult result = parse("plug dev\nrelease count=lots\n");
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].format(),
              "test.scenario:2:15: expected a number (12, 0x1f, 64K) for count, found 'lots'\n"
              "  2 | release count=lots\n"
              "    |               ^");
}

// Every line of the file of mistakes gets exactly one error, except the lines marked valid.
TEST(ScenarioParser, AFileOfMalformedLinesGetsOneErrorForEachLine) {
    std::ifstream in(WDMUSB_TOOL_TEST_SCENARIOS "/malformed.scenario");
    ASSERT_TRUE(in) << "test data missing";
    std::stringstream text;
    text << in.rdbuf();
    std::vector<int> mistakes;
    std::istringstream lines(text.str());
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        ++number;
        if (!line.empty() && line[0] != '#' && line.find("# valid") == std::string::npos)
            mistakes.push_back(number);
    }
    const ParseResult result = parseScenario("malformed.scenario", text.str());
    std::vector<int> reported;
    for (const auto& error : result.errors)
        reported.push_back(error.at.line);
    EXPECT_EQ(reported, mistakes);
    for (const auto& error : result.errors)
        EXPECT_EQ(error.message.rfind("expected", 0), 0u) << error.format();
}

// The reference names every command of the table, and the guide documents each of them.
TEST(ScenarioParser, TheReferenceAndTheGuideNameEveryCommand) {
    const std::string reference = commandReference();
    std::ifstream in(WDMUSB_SOURCE_DIR "/docs/scenarios.md");
    ASSERT_TRUE(in);
    std::stringstream guide;
    guide << in.rdbuf();
    for (const auto& command : commandTable()) {
        std::vector<std::string> names;
        if (command.subcommands.empty())
            names.emplace_back(command.name);
        for (const auto& sub : command.subcommands)
            names.push_back(std::string(command.name) + " " + std::string(sub.name));
        for (const auto& name : names) {
            EXPECT_NE(("\n" + reference).find("\n" + name), std::string::npos) << name;
            EXPECT_NE(guide.str().find("`" + name), std::string::npos)
                << name << " is not in docs/scenarios.md";
        }
    }
}

} // namespace
} // namespace wdmusbsim
