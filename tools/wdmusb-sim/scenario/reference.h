// The reference of the scenario language, printed from the command table (wdmusb-sim
// --commands): every command with its parameters, their types and what they mean.
#pragma once

#include <string>
#include <vector>

#include "tools/wdmusb-sim/scenario/command_table.h"

namespace wdmusbsim {

std::string commandReference(const std::vector<CommandSpec>& table = commandTable());

} // namespace wdmusbsim
