// Running scenarios in this process, as wdmusb-sim's child does, with the account written to a
// temporary file the test then reads.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tools/wdmusb-sim/cli/rounds.h"
#include "tools/wdmusb-sim/scenario/parser.h"

namespace wdmusbsim::test {

struct RunResult {
    int failures = 0;
    std::string output;

    bool shows(std::string_view text) const { return output.find(text) != std::string::npos; }
};

inline std::string readAll(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
    return text;
}

// Parses and runs a scenario; the parse must succeed.
inline RunResult runText(std::string_view text, RunSettings settings = {.seed = 1}) {
    ParseResult parsed = parseScenario("test.scenario", text);
    EXPECT_TRUE(parsed.ok()) << (parsed.errors.empty() ? "" : parsed.errors[0].format());
    std::FILE* out = std::tmpfile();
    RunResult result;
    {
        Console console(out, false, Console::kMaximumWidth); // few lines wrap
        result.failures = runScenario(parsed.scenario, settings, console);
        console.flush();
    }
    result.output = readAll(out);
    std::fclose(out);
    return result;
}

} // namespace wdmusbsim::test
