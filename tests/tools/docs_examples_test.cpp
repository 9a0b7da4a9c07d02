// The programs the guides show are the ones the builds compile and the tests run: each guide
// holds its example's file whole.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string sourceFile(const std::string& path) {
    std::ifstream in(WDMUSB_SOURCE_DIR "/" + path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(DocsExamples, EachGuideShowsItsExampleFilesAsTheyAre) {
    const struct {
        const char* guide;
        const char* example;
    } cases[] = {
        {"docs/application-library.md", "examples/hello_device.c"},
        {"docs/simulator.md", "examples/simulator-test/CMakeLists.txt"},
        {"docs/simulator.md", "examples/simulator-test/my_application_test.cpp"},
    };
    for (const auto& c : cases) {
        const std::string example = sourceFile(c.example);
        ASSERT_FALSE(example.empty()) << c.example << " not found";
        EXPECT_NE(sourceFile(c.guide).find(example), std::string::npos)
            << c.guide << " does not show " << c.example << " as it is";
    }
}

} // namespace
