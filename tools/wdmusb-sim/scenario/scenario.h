// A scenario as the parser leaves it: its steps, each a command with its checked arguments.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/wdmusb-sim/scenario/command_table.h"

namespace wdmusbsim {

struct Step {
    const CommandSpec* command = nullptr;            // the entry that runs it (a subcommand's own)
    std::string name;                                // "start", "expect state"
    SourceLocation at;                               // of the command's first word
    std::vector<std::pair<std::string, Value>> args; // by parameter name, as given
    std::string background;                          // as=NAME; empty: runs in the foreground

    const Value* find(std::string_view param) const {
        for (const auto& [key, value] : args)
            if (key == param)
                return &value;
        return nullptr;
    }
    bool has(std::string_view param) const { return find(param) != nullptr; }
    std::uint64_t number(std::string_view param, std::uint64_t fallback = 0) const {
        const Value* value = find(param);
        return value != nullptr ? value->number : fallback;
    }
    std::string word(std::string_view param, std::string_view fallback = {}) const {
        const Value* value = find(param);
        return value != nullptr ? value->word : std::string(fallback);
    }
    bool flag(std::string_view param, bool fallback = false) const {
        const Value* value = find(param);
        return value != nullptr ? value->number != 0 : fallback;
    }
    int line() const { return at.line; }
};

struct Scenario {
    std::string file; // as named on the command line, or "built-in"
    std::vector<Step> steps;
};

} // namespace wdmusbsim
