// wdmusbctl: one program for Windows and for the simulator. On Windows it uses the platform's
// devices; built for the simulator it brings a simulated machine with the loopback device.
#include "tools/wdmusbctl/cli.h"
#if !defined(_WIN32)
#include "tools/wdmusbctl/simulated_host.h"
#endif

int main(int argc, char** argv) {
#if defined(_WIN32)
    return wdmusbctl::run(argc, argv);
#else
    return wdmusbctl::runOnSimulator(argc, argv);
#endif
}
