// What removal releases before it deletes the FDO.
#pragma once

#include "driver/extension.h"

// Disables the device interface and frees what the starts and the transfers left in the
// extension: DeviceDescriptor, ChunkContexts, and the extension's ownership of the interface copy
// and of ConfigurationDescriptor (each field set to NULL). A handle still open keeps its own
// ownership of the copy its pipes are in, which its close gives up: the copy is freed by its last
// owner (usb/kept_configuration.h). Returns the status of disabling the interface; the caller
// ignores it. Passive level, after the last outstanding reference is gone. Safe to call twice.
NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT Fdo);
