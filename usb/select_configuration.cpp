// Selecting the configuration on start, and selecting none on stop.
#include "usb/configuration.h"
#include "usb/bus_request.h"
#include "usb/kept_configuration.h"
#include "driver/counted_block.h"
#include "driver/pool.h"

static_assert(sizeof(void*) != 4 || sizeof(struct _URB_SELECT_CONFIGURATION) == 60,
              "the select-configuration request has the platform's i386 length");

namespace {

// Keeps a copy of the selected interface, pipe handles included, in place of the earlier start's
// (a handle opened before the stop keeps that one as long as it needs it). Without memory for it
// the device still starts, with no InterfaceInformation: opening it then fails.
void KeepInterfaceCopy(PDEVICE_OBJECT Fdo, const USBD_INTERFACE_INFORMATION* Selected) {
    const auto copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
        InitializeCountedBlock(AllocateDriverPool(CountedBlockBytes(Selected->Length))));
    if (copy != nullptr)
        RtlCopyMemory(copy, Selected, Selected->Length);
    PublishInterfaceCopy(Fdo, copy);
}

// A pipe the transfers of one direction can use: bulk or interrupt, its endpoint of that
// direction.
BOOLEAN IsDataPipe(const USBD_PIPE_INFORMATION& Pipe, BOOLEAN In) {
    const BOOLEAN isIn = USB_ENDPOINT_DIRECTION_IN(Pipe.EndpointAddress) != 0;
    return (Pipe.PipeType == UsbdPipeTypeBulk || Pipe.PipeType == UsbdPipeTypeInterrupt) &&
           isIn == In;
}

// Reads take the first pipe and writes the second. When those two cannot carry them (an OUT
// endpoint first, an isochronous or control pipe), every transfer through them would fail: the
// start is refused instead, with a status that names a configuration the driver cannot use. An
// interface of fewer than two pipes still starts; its open fails.
BOOLEAN HasUnusableDataPipes(const USBD_INTERFACE_INFORMATION* Selected) {
    return Selected->NumberOfPipes >= 2 &&
           (!IsDataPipe(Selected->Pipes[0], TRUE) || !IsDataPipe(Selected->Pipes[1], FALSE));
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

    NTSTATUS status = SubmitUrbSync(Fdo, urb);
    ext->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    if (NT_SUCCESS(status) && HasUnusableDataPipes(selected))
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
    if (NT_SUCCESS(status))
        KeepInterfaceCopy(Fdo, selected);
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
