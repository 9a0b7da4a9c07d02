// wdmusbctl's command line: parsed with CLI11, each command run, each failure printed with its
// exit status.
#pragma once

namespace wdmusbctl {

// The whole program but the platform's set-up; returns the exit status (errors.h).
int run(int argc, char** argv);

} // namespace wdmusbctl
