// Running scenarios as a user asked: each run in a child process of its own, so that nothing a
// scenario does to the simulated system (a wait that never ends, a crash of the driver) can take
// the tool down with it; rounds repeated with a new seed each; the verdicts gathered.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/wdmusb-sim/output/console.h"
#include "tools/wdmusb-sim/scenario/run.h"

namespace wdmusbsim {

struct RoundsPlan {
    std::vector<Scenario> scenarios;
    std::uint32_t seed = 0; // of the first round; round r uses seed + r - 1
    unsigned repeat = 1;
    bool trace = false;
    std::string capture;
    std::chrono::milliseconds hangLimit{20000};
};

// Runs one scenario in this process: the header with its seed, the steps, the verdict. Returns
// the failed checks and findings.
int runScenario(const Scenario& scenario, const RunSettings& settings, Console& console);

// Runs the plan, each scenario of each round in a child process, and returns the exit status.
// With several rounds a round's account is shown only when it fails.
int runRounds(const RoundsPlan& plan, Console& console);

} // namespace wdmusbsim
