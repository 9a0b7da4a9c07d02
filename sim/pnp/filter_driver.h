// A pass-through filter driver. The Plug and Play manager adds its devices to every stack it
// builds once a test names it (PnpManager::setFilters): below the function driver, between the FDO
// and the PDO (a lower filter), or above it (an upper filter), as the platform adds the filters a
// device's settings name.
//
// It changes nothing a request carries, but its presence does to the drivers around it what a
// real filter's does:
//   - the device the function driver attaches to, and sends its requests to, is not the PDO; the
//     PDO is still where power requests (PoRequestPowerIrp) and the capability query must go;
//   - every IRP other than Plug and Play and power goes down with a stack location of its own (the
//     location copied and a completion routine set, which carries a pending return up), so an
//     IRP allocated for a stack without it runs out of locations;
//   - an upper filter's device is the one applications open; it takes the I/O method (direct or
//     buffered) and power flags of the device below, as filters must.
// Plug and Play IRPs go down skipped, power IRPs with PoStartNextPowerIrp and PoCallDriver. At
// removal it passes the IRP down, waits for the IRPs still below it (what a remove lock does),
// then detaches and deletes its device.
//
// Usage (tests):
//     sim::FilterDriver lower("lowerfilter"), upper("upperfilter"); // after the System
//     system_.pnp().setFilters({lower.driverObject()}, {upper.driverObject()});
//     sim::DeviceNode& node = system_.pnp().plug(bus, driver); // PDO, lower, FDO, upper
//     lower.passed(IRP_MJ_INTERNAL_DEVICE_CONTROL);             // what went through it
// Destroy it after every device it filters has been removed (unloading reports any left).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/host/host_platform.h"

namespace sim {

class FilterDriver {
public:
    explicit FilterDriver(const std::string& name = "filter");
    ~FilterDriver();
    FilterDriver(const FilterDriver&) = delete;
    FilterDriver& operator=(const FilterDriver&) = delete;

    PDRIVER_OBJECT driverObject() const { return driver_; }
    // IRPs of a major function its devices have passed on.
    std::uint64_t passed(UCHAR major) const { return passed_[major].load(); }
    // Runs `hook` on the sender's thread when a Plug and Play IRP of `minor` reaches one of its
    // devices, before the IRP goes down; an empty hook removes it.
    void onPnp(UCHAR minor, std::function<void()> hook);

private:
    static NTSTATUS NTAPI addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS NTAPI passedUp(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    static FilterDriver* of(PDRIVER_OBJECT driver);
    NTSTATUS dispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    void runHook(UCHAR minor);

    PDRIVER_OBJECT driver_ = nullptr;
    std::array<std::atomic<std::uint64_t>, IRP_MJ_MAXIMUM_FUNCTION + 1> passed_{};
    std::mutex hooksMutex_; // guards hooks_
    std::map<UCHAR, std::function<void()>> hooks_;
};

} // namespace sim
