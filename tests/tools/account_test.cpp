// The account's layout (columns within the width, wrapping, colour only when asked) and what it
// counts (failures and their lines, across background accounts).
#include <gtest/gtest.h>

#include <sstream>

#include "tests/tools/tool_fixture.h"
#include "tools/wdmusb-sim/output/account.h"

namespace wdmusbsim::test {
namespace {

struct Written {
    std::FILE* file = std::tmpfile();
    ~Written() { std::fclose(file); }
    std::string text() { return readAll(file); }
};

TEST(Account, LinesFitTheWidthAndChecksEndInTheirMark) {
    Written out;
    Console console(out.file, false, 60);
    Account account(console);
    account.step("A step whose title is long enough to need a second line here", 12);
    account.check(true, "label", "value");
    account.check(false, "a label", "a value long enough that it has to wrap onto the next line",
                  7);
    account.detail("interface", std::string(70, 'x'));
    console.flush();
    const std::string text = out.text();
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 60u) << line;
    EXPECT_NE(text.find("line 12"), std::string::npos) << text;
    EXPECT_NE(text.find("[line 7]"), std::string::npos) << text;
    EXPECT_EQ(text.find('\033'), std::string::npos) << "no colour was asked for";
    EXPECT_EQ(account.failures(), 1);
    EXPECT_EQ(account.failedLines(), std::vector<int>{7});
}

TEST(Account, ColourIsAddedOnlyWhenAsked) {
    Written out;
    Console console(out.file, true, 80);
    Account account(console);
    account.check(true, "fine");
    account.check(false, "broken");
    console.flush();
    const std::string text = out.text();
    EXPECT_NE(text.find("\033[32mok\033[0m"), std::string::npos) << text;
    EXPECT_NE(text.find("\033[1;31mFAILED\033[0m"), std::string::npos) << text;
}

TEST(Account, ADeferredAccountHandsOverItsLinesAndFailuresWhenFlushed) {
    Written out;
    Console console(out.file, false, 80);
    Account main(console);
    Account background = Account::deferred(console);
    background.check(false, "in the background", "", 9);
    console.flush();
    EXPECT_EQ(out.text(), "") << "kept until flushed";
    background.flushInto(main);
    console.flush();
    EXPECT_NE(out.text().find("in the background"), std::string::npos);
    EXPECT_EQ(main.failures(), 1);
    EXPECT_EQ(main.failedLines(), std::vector<int>{9});
}

TEST(Account, WrapTextBreaksAtBlanksAndCutsWordsLongerThanALine) {
    EXPECT_EQ(wrapText("one two three", 7), (std::vector<std::string>{"one two", "three"}));
    EXPECT_EQ(wrapText(std::string(25, 'a'), 10).size(), 3u);
    EXPECT_EQ(wrapText("", 10), std::vector<std::string>{""});
}

} // namespace
} // namespace wdmusbsim::test
