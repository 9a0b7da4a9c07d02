// Reading a scenario: every line checked against the command table. A line that is wrong gets
// one diagnostic naming its file, line and column and what was expected there; the lines after it
// are read all the same, so a file shows all its mistakes at once.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/wdmusb-sim/scenario/scenario.h"

namespace wdmusbsim {

struct Diagnostic {
    std::string file;
    SourceLocation at;
    std::string message;    // "expected ..."
    std::string sourceLine; // the line it is on, for the caret

    // "file:3:7: expected ...", then the line and a caret under the column.
    std::string format() const;
};

struct ParseResult {
    Scenario scenario;
    std::vector<Diagnostic> errors;
    bool ok() const { return errors.empty(); }
};

ParseResult parseScenario(std::string file, std::string_view text,
                          const std::vector<CommandSpec>& table = commandTable());

} // namespace wdmusbsim
