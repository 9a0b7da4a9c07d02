// The scenario wdmusb-sim runs with no arguments: the default loopback device through its life.
#pragma once

#include "tools/wdmusb-sim/account.h"

namespace wdmusbsim {

// Runs the scenario in a fresh simulated system and returns the number of failed checks and
// verifier findings (0: the driver did everything right and left the pool clean).
int runBuiltinScenario(Account& account);

} // namespace wdmusbsim
