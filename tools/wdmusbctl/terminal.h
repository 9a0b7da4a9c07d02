// Whether standard output is a terminal (the loopback's progress bar is only drawn on one).
#pragma once

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif
#include <cstdio>

namespace wdmusbctl {

inline bool stdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(fileno(stdout)) != 0;
#endif
}

} // namespace wdmusbctl
