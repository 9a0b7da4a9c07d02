// What a start keeps for the client requests: ConfigurationDescriptor and InterfaceInformation.
//
// Both are counted blocks (driver/counted_block.h). The extension owns each while it is its
// field; a device-control request that copies the descriptor owns it while it copies, and an open
// handle owns the interface copy its pipes are in until it is closed. A restart replaces them and
// removal lets them go, but a block is freed only by its last owner: a request admitted before a
// stop, or a handle opened before it, keeps what it took, whatever the interleaving, and nothing
// is freed twice. ConfigurationLock makes "read the field and take an ownership of its block" one
// step with respect to "replace the field and let the old block go".
//
// Only complete descriptors are published: a reader never sees a buffer the device is still
// filling. Any IRQL up to DISPATCH_LEVEL.
#pragma once

#include "driver/extension.h"

// Makes Descriptor (a counted block the caller owns, or NULL) the ConfigurationDescriptor; the
// caller's ownership passes to the extension, and the extension lets the earlier one go.
void PublishConfigurationDescriptor(PDEVICE_OBJECT Fdo, PUSB_CONFIGURATION_DESCRIPTOR Descriptor);
// The same for InterfaceInformation.
void PublishInterfaceCopy(PDEVICE_OBJECT Fdo, PUSBD_INTERFACE_INFORMATION Copy);

// An ownership of the current ConfigurationDescriptor / InterfaceInformation, or NULL when there
// is none. The caller lets it go with ReleaseCountedBlock.
PUSB_CONFIGURATION_DESCRIPTOR BorrowConfigurationDescriptor(PDEVICE_OBJECT Fdo);
PUSBD_INTERFACE_INFORMATION BorrowInterfaceCopy(PDEVICE_OBJECT Fdo);

// TRUE when Copy is the interface of the configuration now selected: a handle bound to an earlier
// one holds pipe handles the bus no longer knows.
BOOLEAN IsCurrentInterfaceCopy(PDEVICE_OBJECT Fdo, const USBD_INTERFACE_INFORMATION* Copy);

// The interface copy that pipe record Index of it is: how a handle finds the copy it owns.
inline PUSBD_INTERFACE_INFORMATION InterfaceCopyOfPipe(PUSBD_PIPE_INFORMATION Pipe, ULONG Index) {
    return CONTAINING_RECORD(Pipe - Index, USBD_INTERFACE_INFORMATION, Pipes);
}
