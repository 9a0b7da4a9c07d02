// A simulated machine ready for applications: the System, a USB bus, a function driver loaded
// from its entry routine, and devices plugged in and started. For programs written against the
// user-mode API (sim/app/win32.h): tools, benchmarks, and tests that use a device the way an
// application does.
//
//     sim::app::SimulatedMachine machine(DriverEntry);     // the function driver's entry routine
//     sim::DeviceNode& device = machine.plugDevice();      // the loopback device, started
//     ... SetupDiGetClassDevs, CreateFile, ReadFile, WriteFile, DeviceIoControl, CloseHandle ...
//     machine.bus().controller().setMode(sim::usb::CompletionMode::Held); // as a test would
//     std::vector<sim::Finding> findings = machine.finish(); // empty: nothing leaked or misused
//
// sim/app/device_access.h gives a plugged device's path and tells when the closes of its handles
// have reached the driver; sim/app/app_handle.h closes a handle when it goes out of scope.
//
// Only one machine (one System) exists at a time in a process. Everything the application does
// runs on the simulated system of the machine that exists.
#pragma once

#include <memory>
#include <vector>

#include "platform/host/host_platform.h"
#include "sim/core/system.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus_driver.h"

namespace sim::app {

class SimulatedMachine {
public:
    explicit SimulatedMachine(PDRIVER_INITIALIZE driverEntry, SystemOptions options = {});
    ~SimulatedMachine(); // finish(), if not done yet
    SimulatedMachine(const SimulatedMachine&) = delete;
    SimulatedMachine& operator=(const SimulatedMachine&) = delete;

    System& system() { return system_; }
    usb::BusDriver& bus() { return *bus_; }
    PDRIVER_OBJECT driver() const { return driver_; }
    NTSTATUS driverEntryStatus() const { return entryStatus_; }

    // Plugs a device (the loopback device when model is null), adds the driver above it and
    // starts it; node.addStatus and node.startStatus tell how that went.
    DeviceNode& plugDevice(std::shared_ptr<usb::DeviceModel> model = nullptr);

    // Ends the run as the platform would end it: the application's requests in flight cancelled
    // and its handles closed (as at its exit), every device still there removed, the driver
    // unloaded, the bus stopped; then the leak checks. Returns every verifier finding of the run
    // (empty: nothing was misused or leaked). Further calls return nothing.
    std::vector<Finding> finish();

private:
    System system_; // first: everything else lives in it
    std::unique_ptr<usb::BusDriver> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    NTSTATUS entryStatus_ = STATUS_SUCCESS;
    bool finished_ = false;
};

} // namespace sim::app
