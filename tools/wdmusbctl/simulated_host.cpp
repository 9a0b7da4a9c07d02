#include "tools/wdmusbctl/simulated_host.h"

#include <cstdio>

#include "driver/dispatch.h"
#include "sim/app/simulated_machine.h"
#include "tools/wdmusbctl/cli.h"
#include "tools/wdmusbctl/errors.h"

namespace wdmusbctl {

int runOnSimulator(int argc, char** argv) {
    sim::app::SimulatedMachine machine(DriverEntry);
    machine.system().verifier().setQuiet(true); // reported below, once
    machine.plugDevice();
    int status = run(argc, argv);
    const std::vector<sim::Finding> findings = machine.finish();
    for (const sim::Finding& finding : findings)
        std::fprintf(stderr, "wdmusbctl: simulator: %.*s: %s\n",
                     static_cast<int>(sim::ruleName(finding.rule).size()),
                     sim::ruleName(finding.rule).data(), finding.message.c_str());
    if (!findings.empty())
        status = static_cast<int>(Exit::SimulatorFinding);
    return status;
}

} // namespace wdmusbctl
