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

// Asks the bus driver for the port's USBD_PORT_ENABLED / USBD_PORT_CONNECTED bits. *PortStatus
// is 0 unless the bus driver wrote it, so a failed request never leaves stale bits.
NTSTATUS GetPortStatus(PDEVICE_OBJECT Fdo, PULONG PortStatus);

// Asks the bus driver to reset (and so re-enable) the device's port.
NTSTATUS ResetPort(PDEVICE_OBJECT Fdo);

// Sends IRP_MN_QUERY_CAPABILITIES straight to the PDO (not to the top of its stack) and waits.
// Capabilities is sent as the caller holds it, with the header the platform asks of the sender
// (Size, Version 1, Address and UINumber -1), and is filled by the bus driver.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT Pdo, PDEVICE_CAPABILITIES Capabilities);
