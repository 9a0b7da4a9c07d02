// The one observation point of the bus driver: every URB the PDO receives passes onSubmit before
// the bus looks at it further, and every URB's completion passes onComplete just before the IRP is
// completed (Hdr.Status, TransferBufferLength and the IRP's IoStatus are final then). Captures and
// IRP traces attach here; tests use it to see exactly what a driver sent.
//
// Observers are called on whatever thread submits or completes (the completion thread runs at
// DISPATCH_LEVEL), with no lock of the bus held; they must be thread-safe and must not block.
// The URB belongs to the driver: an observer copies what it wants to keep.
#pragma once

#include "platform/host/host_platform.h"

namespace sim::usb {

class BusDevice;

class BusObserver {
public:
    virtual ~BusObserver() = default;
    virtual void onSubmit(BusDevice& device, const URB& urb, PIRP irp) = 0;
    virtual void onComplete(BusDevice& device, const URB& urb, PIRP irp, NTSTATUS status) = 0;
    // Every other request to the PDO (port status, port reset, Plug and Play, power): when it
    // arrives and when it is completed. Optional.
    virtual void onRequest(BusDevice& device, PIRP irp) { (void)device, (void)irp; }
    virtual void onRequestComplete(BusDevice& device, PIRP irp, NTSTATUS status) {
        (void)device, (void)irp, (void)status;
    }
};

} // namespace sim::usb
