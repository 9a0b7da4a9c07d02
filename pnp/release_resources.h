// What removal releases before it deletes the FDO.
#pragma once

#include "driver/extension.h"

// Disables the device interface and frees what the starts and the transfers left in the
// extension: DeviceDescriptor, the interface copy, ConfigurationDescriptor, ChunkContexts (each
// set to NULL). Returns the status of disabling the interface; the caller ignores it. Passive
// level, after the last outstanding reference is gone. Safe to call twice.
//
// The interface copy is freed unless a pipe of it is still bound to a handle (an abort that
// failed left it marked): such a copy is handed to that handle, as a restart hands over the copy
// a handle opened before the stop holds (usb/select_configuration.cpp), and the close that clears
// its last marker frees it. Copies handed over that way earlier are the handles' and not freed
// here. So each copy is freed exactly once, by removal or by a close. A copy without a bound pipe
// is referred to by no handle: the platform sends the removal only once every handle is closed
// (after a surprise removal), or vetoes the query-remove while a handle is open.
NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT Fdo);
