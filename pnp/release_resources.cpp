#include "pnp/release_resources.h"
#include "io/chunk_tracking.h"
#include "usb/kept_configuration.h"

namespace {

template <typename T> void FreeIfSet(T*& Field) {
    if (Field != nullptr)
        ExFreePool(Field);
    Field = nullptr;
}

} // namespace

NTSTATUS ReleaseDeviceResources(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    // The field holds the name with its terminator (device creation refuses a longer name).
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, ext->InterfaceLinkName);
    const NTSTATUS status = IoSetDeviceInterfaceState(&linkName, FALSE);

    FreeIfSet(ext->DeviceDescriptor);
    PublishInterfaceCopy(Fdo, nullptr);
    PublishConfigurationDescriptor(Fdo, nullptr);
    ReleaseChunkTracking(Fdo);
    return status;
}
