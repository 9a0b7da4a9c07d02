// Selecting the configuration on start, and selecting none on stop.
#include "usb/configuration.h"
#include "usb/bus_request.h"
#include "driver/pool.h"

static_assert(sizeof(void*) != 4 || sizeof(struct _URB_SELECT_CONFIGURATION) == 60,
              "the select-configuration request has the platform's i386 length");

namespace {

// When a start after a stop has selected the configuration, the interface copy of the earlier
// start leaves InterfaceInformation. It is freed unless pipes are bound (OpenPipeCount > 0): a
// handle opened before the stop then still points into it (FsContext, FsContext2), takes its pipe
// handles from it and clears its markers there when it is closed. Such a copy belongs to that
// handle from now on: the close that clears its last marker, finding that the copy is no longer
// InterfaceInformation, frees it.
void ReleaseEarlierInterfaceCopy(PDEVICE_EXTENSION Ext) {
    const PUSBD_INTERFACE_INFORMATION earlier = ReadShared(Ext->InterfaceInformation);
    if (earlier == nullptr)
        return;
    WriteShared(Ext->InterfaceInformation, nullptr);
    if (ReadShared(Ext->OpenPipeCount) == 0)
        ExFreePool(earlier);
}

// Keeps a copy of the selected interface, pipe handles included. Without memory for it the device
// still starts, with no InterfaceInformation: opening it then fails.
void KeepInterfaceCopy(PDEVICE_EXTENSION Ext, const USBD_INTERFACE_INFORMATION* Selected) {
    ReleaseEarlierInterfaceCopy(Ext);
    const auto copy =
        static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateDriverPool(Selected->Length));
    if (copy == nullptr)
        return;
    RtlCopyMemory(copy, Selected, Selected->Length);
    WriteShared(Ext->InterfaceInformation, copy);
}

} // namespace

NTSTATUS SelectConfiguration(PDEVICE_OBJECT Fdo,
                             PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    USHORT urbBytes = 0;
    const PURB urb = USBD_CreateConfigurationRequest(ConfigurationDescriptor, &urbBytes);
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    // The request the library built selects the first interface; the parse only makes sure there
    // is one.
    if (USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, -1,
                                            -1, -1, -1, -1) == nullptr) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    const PUSBD_INTERFACE_INFORMATION selected = &urb->UrbSelectConfiguration.Interface;
    for (ULONG i = 0; i < selected->NumberOfPipes; ++i) {
        selected->Pipes[i].MaximumTransferSize = ext->MaximumTransferSize;
        selected->Pipes[i].PipeFlags = 0;
    }
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = urbBytes;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    const NTSTATUS status = SubmitUrbSync(Fdo, urb);
    ext->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    if (NT_SUCCESS(status))
        KeepInterfaceCopy(ext, selected);
    ExFreePool(urb);
    return status;
}

NTSTATUS UnconfigureDevice(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    const PURB urb =
        static_cast<PURB>(AllocateDriverPool(sizeof(struct _URB_SELECT_CONFIGURATION)));
    if (urb != nullptr) {
        // A select-configuration request without a descriptor puts the device in its
        // unconfigured state (USB 2.0, 9.1.1.5).
        urb->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;
        status = SubmitUrbSync(Fdo, urb);
        ExFreePool(urb);
    }
    if (NT_SUCCESS(status))
        WriteShared(ext->Started, FALSE);
    WriteShared(ext->StopPending, FALSE);
    return status;
}
