// The bus driver's dispatch routine for its PDOs, and the URB handlers it calls.
#pragma once

#include <optional>
#include <span>

#include "platform/host/host_platform.h"
#include "sim/usb/scripted_faults.h"

namespace sim::usb {

class BusDevice;

// Every major function of the bus driver's PDOs. Under force pending, the IRP is pended and the
// rest runs on the completion thread.
NTSTATUS NTAPI dispatchPdo(PDEVICE_OBJECT pdo, PIRP irp);

// IOCTL_INTERNAL_USB_SUBMIT_URB. `pended`: the IRP is marked pending already (force pending), so
// the routine returns STATUS_PENDING whatever happens.
NTSTATUS submitUrb(BusDevice& device, PIRP irp, PURB urb, bool pended);

// The statuses a URB handled on the spot ends with.
struct UrbResult {
    NTSTATUS irpStatus = STATUS_SUCCESS;
    USBD_STATUS usbStatus = USBD_STATUS_SUCCESS;

    static UrbResult usb(USBD_STATUS status);
};

UrbResult selectConfiguration(BusDevice& device, URB& urb, const std::optional<UrbFault>& fault);
UrbResult abortPipe(BusDevice& device, URB& urb, const std::optional<UrbFault>& fault);
UrbResult resetPipe(BusDevice& device, URB& urb, const std::optional<UrbFault>& fault);

// The failure a request that must reach the device meets on a disconnected, disabled or
// suspended port.
std::optional<UrbResult> portFailure(const BusDevice& device);

// [address, address + length) in host memory a request may use, or the USB status refusing it:
// a range that runs past the pool block it starts in is reported and refused.
bool insidePoolBlock(const void* address, std::size_t length, const char* what);

} // namespace sim::usb
