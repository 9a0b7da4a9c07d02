// Plug and Play requests to the FDO.
#pragma once

#include "driver/extension.h"

// Passive level. Starts the device on IRP_MN_START_DEVICE after the lower drivers have started it,
// and completes that IRP; every other request goes down to the lower driver, which completes it.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT Fdo, PIRP Irp);
