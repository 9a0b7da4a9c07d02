// The command line of wdmusb-sim, read with CLI11.
//
//   wdmusb-sim [--seed N] [--repeat N] [--capture FILE] [--trace] [--color WHEN]
//              [--hang-limit S] [--image wdmusb.sys] [SCENARIO...]
//   wdmusb-sim --commands | --check SCENARIO... | --help
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tools/wdmusb-sim/output/console.h"

namespace wdmusbsim {

// Exit statuses, as --help lists them.
enum ExitStatus : int {
    kExitPassed = 0,  // every check held and the verifier found nothing
    kExitFailed = 1,  // a check failed or the verifier found something
    kExitUsage = 2,   // wrong arguments, or a mistake in a scenario file
    kExitStopped = 3, // the simulated system stopped the run (a wait that never ended, a crash)
};

struct Options {
    std::vector<std::string> scenarios; // files; none: the built-in scenario
    std::optional<std::uint32_t> seed;
    unsigned repeat = 1;
    std::string capture;
    bool trace = false;
    ColorChoice color = ColorChoice::Auto;
    unsigned hangLimitSeconds = 20; // a wait in the simulated system this long stops the run
    std::string image;              // --image: the kernel image to run instead of the source build
    bool listCommands = false;      // --commands
    bool checkOnly = false;         // --check
};

// The options, or the exit status when there is nothing to run (--help: 0, after printing the
// help to `out`; a mistake: kExitUsage, after printing what is wrong to `err`).
std::variant<Options, int> parseOptions(const std::vector<std::string>& args, std::ostream& out,
                                        std::ostream& err);

} // namespace wdmusbsim
