// A crash in a loaded image's code (or in the simulator's code it called) names the image's
// routine and offset before the process ends as it would have (i386 only).
#pragma once

namespace sim::image {

// Installs the report for SIGSEGV, SIGBUS, SIGILL and SIGFPE once; the handlers installed before
// it (a sanitizer's) still run after it.
void reportCrashesInImages();

} // namespace sim::image
