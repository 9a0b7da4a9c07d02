#include "tools/wdmusb-sim/cli/options.h"

#include <CLI/CLI.hpp>

#include <map>
#include <ostream>

namespace wdmusbsim {

namespace {

constexpr const char* kDescription =
    "Runs the wdmusb driver inside the simulated Windows kernel and USB bus and prints a readable "
    "account of what happens, ending with a verdict. With no scenario file, runs the built-in "
    "scenario on the loopback device.";

constexpr const char* kFooter =
    "Scenario files are described in docs/scenarios.md; --commands lists every command.\n"
    "Exit status: 0 every check held and the verifier found nothing; 1 a check failed or the "
    "verifier found something; 2 wrong arguments or a mistake in a scenario file; 3 the "
    "simulated system stopped the run (a wait that never ended, or a crash).\n"
    "Colour: when standard output is a terminal and NO_COLOR is not set (--color changes it).";

void declare(CLI::App& app, Options& options) {
    app.add_option("scenario", options.scenarios, "scenario files to run, in order")
        ->check(CLI::ExistingFile);
    app.add_option("--seed", options.seed,
                   "seed for everything random (printed with every run; default: a fresh one)");
    app.add_option("--repeat", options.repeat,
                   "run everything N times, the seed one higher each round; stops at the first "
                   "failing round and prints its seed")
        ->check(CLI::Range(1u, 1000000u));
    app.add_option("--capture", options.capture,
                   "write every URB and its completion to FILE as a USB capture Wireshark reads "
                   "(pcap, link type 249)")
        ->type_name("FILE");
    app.add_flag("--trace", options.trace,
                 "log every IRP through the stack, and the history of the IRP a verifier finding "
                 "names");
    const std::map<std::string, ColorChoice> colours{{"auto", ColorChoice::Auto},
                                                     {"always", ColorChoice::Always},
                                                     {"never", ColorChoice::Never}};
    app.add_option("--color", options.color, "colour: auto, always or never (default auto)")
        ->transform(CLI::CheckedTransformer(colours, CLI::ignore_case))
        ->type_name("WHEN");
    app.add_option("--hang-limit", options.hangLimitSeconds,
                   "stop a run whose simulated system waits this many seconds for something "
                   "that never comes (default 20)")
        ->check(CLI::Range(1u, 3600u))
        ->type_name("S");
    app.add_option("--image", options.image,
                   "run the kernel image FILE (wdmusb.sys, with its link map FILE.map beside it) "
                   "in the simulator instead of the driver's source build; needs the 32-bit build "
                   "(preset host32)")
        ->check(CLI::ExistingFile)
        ->type_name("FILE");
    app.add_flag("--commands", options.listCommands,
                 "print the reference of every scenario command and stop");
    app.add_flag("--check", options.checkOnly,
                 "read the scenario files, report their mistakes, run nothing");
}

} // namespace

std::variant<Options, int> parseOptions(const std::vector<std::string>& args, std::ostream& out,
                                        std::ostream& err) {
    Options options;
    CLI::App app(kDescription, "wdmusb-sim");
    app.footer(kFooter);
    app.get_formatter()->column_width(24);
    declare(app, options);
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend()); // CLI11 pops from the back
        app.parse(reversed);
        if (!options.capture.empty() && options.scenarios.size() > 1)
            throw CLI::ValidationError("--capture", "takes one scenario at a time (" +
                                                        std::to_string(options.scenarios.size()) +
                                                        " given)");
        if (options.checkOnly && options.scenarios.empty())
            throw CLI::ValidationError("--check", "needs scenario files to read");
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error, out, err);
        return status == 0 ? kExitPassed : kExitUsage;
    }
    return options;
}

} // namespace wdmusbsim
