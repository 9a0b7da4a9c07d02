// wdmusb-sim: runs the driver inside the simulated system and prints what happens.
#include <cstdio>

#include "driver/dispatch.h"
#include "sim/core/system.h"
#include "sim/io/io_manager.h"

int main() {
    sim::System system;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = system.io().loadDriver("wdmusb", DriverEntry, &status);
    std::printf("DriverEntry returned 0x%08X\n", static_cast<unsigned>(status));
    system.io().unloadDriver(driver);
    system.checkLeaks();
    const bool clean = system.verifier().empty();
    std::printf("verdict: %s\n", clean ? "clean" : "verifier findings");
    return clean ? 0 : 1;
}
