// wdmusb-sim: runs the driver inside the simulated system and prints a readable account.
//
//   wdmusb-sim            the built-in scenario on the default loopback device
//   wdmusb-sim --help
#include <cstdio>
#include <cstring>

#include "tools/wdmusb-sim/account.h"
#include "tools/wdmusb-sim/builtin_scenario.h"

namespace {

void usage(std::FILE* out) {
    std::fputs("usage: wdmusb-sim [--help]\n"
               "Runs the wdmusb driver in the simulated system with its built-in scenario on the\n"
               "default loopback device, prints what happens, and ends with a verdict: the exit\n"
               "status is 0 when every check passed, the pool is clean and the verifier found\n"
               "nothing.\n",
               out);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        const bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
        usage(help ? stdout : stderr);
        return help ? 0 : 2;
    }
    // Findings go to stderr as they happen; keep them in step with the account.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    wdmusbsim::Account account(stdout);
    const int failures = wdmusbsim::runBuiltinScenario(account);
    std::printf("verdict: %s\n", failures == 0 ? "PASS (pool clean, no verifier finding)"
                                               : "FAIL (see the lines marked FAILED above)");
    return failures == 0 ? 0 : 1;
}
