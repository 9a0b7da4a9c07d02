#include "pnp/release_resources.h"
#include "io/chunk_tracking.h"
#include "usb/pipe_marker.h"

namespace {

template <typename T> void FreeIfSet(T*& Field) {
    if (Field != nullptr)
        ExFreePool(Field);
    Field = nullptr;
}

BOOLEAN HasBoundPipe(PUSBD_INTERFACE_INFORMATION Copy) {
    for (ULONG i = 0; i < Copy->NumberOfPipes; ++i)
        if (IsPipeBound(&Copy->Pipes[i]))
            return TRUE;
    return FALSE;
}

void ReleaseInterfaceCopy(PDEVICE_EXTENSION Ext) {
    const PUSBD_INTERFACE_INFORMATION copy = ReadShared(Ext->InterfaceInformation);
    if (copy == nullptr)
        return;
    // No longer InterfaceInformation: a close that clears the copy's last marker frees it.
    WriteShared(Ext->InterfaceInformation, nullptr);
    if (!HasBoundPipe(copy))
        ExFreePool(copy);
}

} // namespace

NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    // The field holds the name with its terminator (device creation refuses a longer name).
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, ext->InterfaceLinkName);
    const NTSTATUS status = IoSetDeviceInterfaceState(&linkName, FALSE);

    FreeIfSet(ext->DeviceDescriptor);
    ReleaseInterfaceCopy(ext);
    FreeIfSet(ext->ConfigurationDescriptor);
    ReleaseChunkTracking(Fdo);
    return status;
}
