// The control codes' own routines, for DispatchDeviceControl. Each returns the status the request
// completes with and sets its information. PASSIVE_LEVEL.
#pragma once

#include "driver/extension.h"

// IOCTL_GET_CONFIGURATION_DESCRIPTOR into the system buffer: wTotalLength bytes, or as many as the
// output buffer holds with STATUS_BUFFER_OVERFLOW.
NTSTATUS CopyConfigurationDescriptor(PDEVICE_OBJECT Fdo, PIRP Irp);

// IOCTL_VENDOR_REQUEST: the VENDOR_REQUEST in the system buffer sent to the device.
NTSTATUS SendVendorRequest(PDEVICE_OBJECT Fdo, PIRP Irp);
