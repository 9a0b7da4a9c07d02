// The simulated USB bus driver ("usbhub"): the driver object that owns one PDO per plugged
// device and answers, on each PDO, what a USB function driver sends down:
//   - IRP_MJ_INTERNAL_DEVICE_CONTROL: IOCTL_INTERNAL_USB_SUBMIT_URB (Argument1: the URB),
//     IOCTL_INTERNAL_USB_GET_PORT_STATUS (Argument1: ULONG* port word),
//     IOCTL_INTERNAL_USB_RESET_PORT;
//   - URB functions SELECT_CONFIGURATION, GET_DESCRIPTOR_FROM_DEVICE, BULK_OR_INTERRUPT_TRANSFER,
//     VENDOR_DEVICE, ABORT_PIPE, RESET_PIPE (others: USBD_STATUS_INVALID_URB_FUNCTION);
//   - IRP_MJ_PNP: IRP_MN_QUERY_CAPABILITIES from the device's capabilities record (a record the
//     sender did not size, or of another version, is refused); the state changes (start, stops,
//     removals) succeed, except a start of a device that is gone (STATUS_NO_SUCH_DEVICE); a start
//     brings the device to D0; removal and surprise removal fail a pending wait-wake with
//     STATUS_NO_SUCH_DEVICE; other minors complete with the status they bear;
//   - IRP_MJ_POWER: set-power and query-power as the device's PowerAnswers say (success at once
//     by default), a device set-power moving the device's power state; wait-wake held until the
//     device signals wake; other majors keep their status.
// Each URB's Hdr.Status and its IRP's status are set independently.
//
// Usage (tests):
//     sim::usb::BusDriver bus;                     // after the System; destroy it before
//     sim::usb::BusDevice& device = bus.plug();    // the loopback device, PDO created
//     bus.addObserver(&recorder);
//     bus.controller().setMode(sim::usb::CompletionMode::Inline);
// The Plug and Play manager (sim/pnp) then adds the function driver above device.pdo().
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "sim/usb/bus_device.h"
#include "sim/usb/bus_observer.h"
#include "sim/usb/host_controller.h"

namespace sim::usb {

class BusDriver {
public:
    // Loads the bus driver into the current System and starts the host controller.
    BusDriver();
    // Stops the host controller and deletes the PDOs. Also run by the System's shutdown if the
    // bus outlives it.
    ~BusDriver();
    BusDriver(const BusDriver&) = delete;
    BusDriver& operator=(const BusDriver&) = delete;

    // Plugs a device into a new port (the loopback device when model is null); its PDO exists on
    // return, not yet known to any function driver.
    BusDevice& plug(std::shared_ptr<DeviceModel> model = nullptr);
    // Unplugs a device (BusDevice::unplug); the Plug and Play manager's surpriseRemove does this
    // and tells the driver. Its PDO stays until the removal IRP has been through it; the device
    // stays until its deleted PDO leaves the I/O manager's quarantine.
    void unplug(BusDevice& device) { device.unplug(); }
    std::vector<BusDevice*> devices() const;
    PDRIVER_OBJECT driverObject() const { return driver_; }
    HostController& controller() { return controller_; }

    void addObserver(BusObserver* observer);
    void removeObserver(BusObserver* observer);
    // The device a PDO of any bus belongs to, or null.
    static BusDevice* deviceOf(PDEVICE_OBJECT pdo);

    // For the bus's own routines.
    void notifySubmit(BusDevice& device, const URB& urb, PIRP irp);
    void notifyComplete(BusDevice& device, const URB& urb, PIRP irp, NTSTATUS status);
    void notifyRequest(BusDevice& device, PIRP irp);
    void notifyRequestComplete(BusDevice& device, PIRP irp, NTSTATUS status);

private:
    void stop();
    // The deleted PDO left the I/O manager's quarantine: its device is forgotten.
    void forget(PDEVICE_OBJECT pdo);
    std::vector<BusObserver*> observers() const;

    PDRIVER_OBJECT driver_ = nullptr;
    HostController controller_;
    std::uint64_t shutdownHook_ = 0;
    std::uint64_t forgetHook_ = 0;
    bool stopped_ = false;

    mutable std::mutex mutex_; // guards devices_ and observers_
    std::vector<std::unique_ptr<BusDevice>> devices_;
    ULONG lastPort_ = 0; // ports are not reused: a new device gets a new instance path
    std::vector<BusObserver*> observers_;
};

} // namespace sim::usb
