// The simulator build's platform: a simulated machine in this process, with the driver loaded
// and the loopback device (or one built from the descriptor bytes --descriptors names) plugged in
// and started, for the program to find and use as it would a real one.
#pragma once

namespace wdmusbctl {

// Runs the program (cli.h) on the simulated machine, then ends the machine as the platform
// would (handles closed, device removed, driver unloaded) and reports what its verifier found:
// any finding makes the exit status 7.
int runOnSimulator(int argc, char** argv);

} // namespace wdmusbctl
