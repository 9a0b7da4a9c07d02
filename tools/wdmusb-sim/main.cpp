// wdmusb-sim: runs the driver inside the simulated system and prints a readable account.
//
//   wdmusb-sim                       the built-in scenario on the default loopback device
//   wdmusb-sim FILE...               scenario files (docs/scenarios.md)
//   wdmusb-sim --help                every option
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "sim/faults/fault_injector.h"
#include "sim/image/driver_image.h"
#include "tools/wdmusb-sim/builtin_scenario.h"
#include "tools/wdmusb-sim/cli/options.h"
#include "tools/wdmusb-sim/cli/rounds.h"
#include "tools/wdmusb-sim/scenario/parser.h"
#include "tools/wdmusb-sim/scenario/reference.h"

namespace {

using namespace wdmusbsim;

// The scenarios to run, read and checked; false after printing every mistake found.
bool readScenarios(const Options& options, std::vector<Scenario>& scenarios) {
    bool ok = true;
    const auto take = [&](const std::string& name, const std::string& text) {
        ParseResult result = parseScenario(name, text);
        for (const auto& error : result.errors)
            std::fprintf(stderr, "%s\n", error.format().c_str());
        ok = ok && result.ok();
        scenarios.push_back(std::move(result.scenario));
    };
    if (options.scenarios.empty())
        take("built-in", std::string(builtinScenarioText()));
    for (const auto& file : options.scenarios) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        if (!in) {
            std::fprintf(stderr, "wdmusb-sim: cannot read %s\n", file.c_str());
            ok = false;
            continue;
        }
        take(file, text.str());
    }
    return ok;
}

bool captureWritable(const std::string& file) {
    std::FILE* probe = std::fopen(file.c_str(), "wb");
    if (probe == nullptr) {
        std::fprintf(stderr, "wdmusb-sim: --capture: cannot write %s: %s\n", file.c_str(),
                     std::strerror(errno));
        return false;
    }
    std::fclose(probe);
    return true;
}

int runProgram(int argc, char** argv) {
    auto parsed = parseOptions({argv + 1, argv + argc}, std::cout, std::cerr);
    if (const int* status = std::get_if<int>(&parsed))
        return *status;
    const Options& options = std::get<Options>(parsed);
    if (options.listCommands) {
        std::fputs(commandReference().c_str(), stdout);
        return kExitPassed;
    }
    std::vector<Scenario> scenarios;
    if (!readScenarios(options, scenarios))
        return kExitUsage;
    if (options.checkOnly) {
        for (const auto& s : scenarios)
            std::printf("%s: %zu steps, no mistake\n", s.file.c_str(), s.steps.size());
        return kExitPassed;
    }
    if (!options.capture.empty() && !captureWritable(options.capture))
        return kExitUsage;
    if (!options.image.empty()) {
        sim::image::selectDriverImage(options.image);
        sim::image::driverImage(); // loaded now: an image that cannot run stops here, saying why
    }
    Console console = Console::forStdout(options.color);
    const RoundsPlan plan{.scenarios = std::move(scenarios),
                          .seed = options.seed.value_or(sim::FaultInjector::freshSeed()),
                          .repeat = options.repeat,
                          .trace = options.trace,
                          .capture = options.capture,
                          .hangLimit = std::chrono::seconds(options.hangLimitSeconds)};
    return runRounds(plan, console);
}

} // namespace

int main(int argc, char** argv) {
    // Whole lines reach the terminal (or the file) as they are written, even if a run stops.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        return runProgram(argc, argv);
    } catch (const std::exception& error) { // out of memory, or a bug of the tool's own
        std::fprintf(stderr, "wdmusb-sim: stopped: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "wdmusb-sim: stopped by an unknown exception\n");
    }
    return kExitStopped;
}
