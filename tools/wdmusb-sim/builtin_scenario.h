// The scenario wdmusb-sim runs with no arguments (builtin.scenario, built into the program).
#pragma once

#include <string_view>

namespace wdmusbsim {

std::string_view builtinScenarioText();

} // namespace wdmusbsim
