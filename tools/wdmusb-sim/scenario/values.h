// Reading a parameter's value from its token, by the parameter's type.
#pragma once

#include <optional>
#include <string>

#include "tools/wdmusb-sim/scenario/command_table.h"

namespace wdmusbsim {

// Fills `value` from the token; on failure returns what was expected ("expected a number ...").
std::optional<std::string> readValue(const ParamSpec& param, const Token& token, Value& value);

// "stall-pid" -> "USBD_STATUS_STALL_PID": a code's name given whole or by its tail, any case,
// '-' for '_'.
std::string canonicalCodeName(std::string_view text, std::string_view prefix);

} // namespace wdmusbsim
