// Where a platform routine was called from. The host declarations take it as a defaulted trailing
// argument, so the simulator can name the driver's file and line in every verifier finding and
// allocation record without the driver passing anything.
#pragma once

struct SimCallSite {
    const char* file;
    const char* function;
    unsigned line;

    // The builtins, as default arguments, take the location of the outermost call.
    // Set in `line` when the call came from a loaded kernel image: the rest of it is the offset of
    // the return address in the routine `function` of the image `file` (sim/image/).
    static constexpr unsigned kImageOffset = 0x80000000u;

    static constexpr SimCallSite current(const char* file = __builtin_FILE(),
                                         const char* function = __builtin_FUNCTION(),
                                         unsigned line = __builtin_LINE()) noexcept {
        return SimCallSite{file, function, line};
    }
};

#define SIM_CALLER_PARAM , SimCallSite Caller = SimCallSite::current()
#define SIM_CALLER_ONLY  SimCallSite Caller = SimCallSite::current()
