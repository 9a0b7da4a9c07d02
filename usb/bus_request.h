// Requests to the bus driver that the driver sends and waits for.
//
// Every routine here blocks until the bus driver has answered, so each runs only at
// PASSIVE_LEVEL, in a dispatch routine or in AddDevice. None retries anything: every failure is
// the returned status, and the caller decides.
#pragma once

#include "driver/extension.h"

// Sends Urb to the bus driver below the FDO (IOCTL_INTERNAL_USB_SUBMIT_URB) and waits for it.
// Returns the status of the IRP; the URB's own USB status word is not examined. The caller keeps
// the URB and reads what the bus driver wrote into it.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT Fdo, PURB Urb);

// How long a control transfer on the default pipe (a descriptor read, a vendor request) may take:
// the limit USB sets for a standard request with a data stage to the device (USB 2.0, 9.2.6.4).
// Vendor requests have no limit of their own, and a device that NAKs one for ever would hold the
// caller's thread, and its process, for ever.
constexpr ULONG WDMUSB_CONTROL_TRANSFER_TIMEOUT_MS = 5000;

// As SubmitUrbSync, for a control transfer the device may never answer: after
// WDMUSB_CONTROL_TRANSFER_TIMEOUT_MS the request is cancelled, and once the bus driver has given
// it back the result is STATUS_IO_TIMEOUT (or what the transfer ended with, should it have ended
// meanwhile). The IRP is the driver's own (IoAllocateIrp), so that it is still there to cancel.
NTSTATUS SubmitControlUrbSync(PDEVICE_OBJECT Fdo, PURB Urb);

// Asks the bus driver for the port's USBD_PORT_ENABLED / USBD_PORT_CONNECTED bits. *PortStatus
// is 0 unless the bus driver wrote it, so a failed request never leaves stale bits.
NTSTATUS GetPortStatus(PDEVICE_OBJECT Fdo, PULONG PortStatus);

// Asks the bus driver to reset (and so re-enable) the device's port.
NTSTATUS ResetPort(PDEVICE_OBJECT Fdo);

// Sends IRP_MN_QUERY_CAPABILITIES straight to the PDO (not to the top of its stack) and waits.
// Capabilities is sent as the caller holds it, with the header the platform asks of the sender
// (Size, Version 1, Address and UINumber -1), and is filled by the bus driver.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT Pdo, PDEVICE_CAPABILITIES Capabilities);
