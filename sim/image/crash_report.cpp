#include "sim/image/crash_report.h"

#if defined(__i386__)

#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "sim/image/import_gate.h"
#include "sim/image/loaded_image.h"

namespace sim::image {

namespace {

constexpr std::array kSignals{SIGSEGV, SIGBUS, SIGILL, SIGFPE};
struct sigaction gPrevious[kSignals.size()];

void say(const std::string& text) {
    const ssize_t written = write(STDERR_FILENO, text.data(), text.size());
    (void)written;
}

void onCrash(int number, siginfo_t* info, void* context) {
    const auto* state = static_cast<const ucontext_t*>(context);
    const auto at = static_cast<std::uintptr_t>(state->uc_mcontext.gregs[REG_EIP]);
    const char* name = number == SIGSEGV  ? "SIGSEGV"
                       : number == SIGBUS ? "SIGBUS"
                       : number == SIGILL ? "SIGILL"
                                          : "SIGFPE";
    char address[32];
    std::snprintf(address, sizeof address, "%p", info->si_addr);
    if (imageHolding(at) != nullptr)
        say(std::string("crash: ") + name + " in " + describeAddress(at) + " (address " + address +
            ")\n");
    else if (const std::uintptr_t from = currentImageReturn(); from != 0)
        say(std::string("crash: ") + name + " in the simulator, called from " +
            describeAddress(from) + " (address " + address + ")\n");
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        if (kSignals[i] != number)
            continue;
        sigaction(number, &gPrevious[i], nullptr);
        // Returning runs the faulting instruction again, now under the previous handler.
        if ((gPrevious[i].sa_flags & SA_SIGINFO) != 0 && gPrevious[i].sa_sigaction != nullptr)
            gPrevious[i].sa_sigaction(number, info, context);
    }
}

} // namespace

void reportCrashesInImages() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = onCrash;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kSignals.size(); ++i)
            sigaction(kSignals[i], &action, &gPrevious[i]);
    });
}

} // namespace sim::image

#else

namespace sim::image {
void reportCrashesInImages() {}
} // namespace sim::image

#endif
