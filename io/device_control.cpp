// Device control: the configuration descriptor, port recovery, the vendor request.
//
// Each code completes the request with its own status, and the dispatch routine returns that same
// status: a caller that reads the status block (an overlapped one) learns of a failed port
// recovery or vendor request as the one that waited does.
#include "io/device_control.h"
#include "driver/counted_block.h"
#include "driver/forward.h"
#include "driver/io_reference.h"
#include "io/client_dispatch.h"
#include "public/wdmusb.h"
#include "usb/kept_configuration.h"
#include "usb/recovery.h"

NTSTATUS CopyConfigurationDescriptor(PDEVICE_OBJECT Fdo, PIRP Irp) {
    // An ownership of the descriptor keeps it while it is copied, whatever a stop and the next
    // start do meanwhile.
    const PUSB_CONFIGURATION_DESCRIPTOR descriptor = BorrowConfigurationDescriptor(Fdo);
    if (descriptor == nullptr)
        return STATUS_DEVICE_DATA_ERROR;
    const ULONG total = descriptor->wTotalLength;
    const ULONG room =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
    const ULONG copied = total < room ? total : room;
    if (copied > 0)
        RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, descriptor, copied);
    ReleaseCountedBlock(descriptor);
    Irp->IoStatus.Information = copied;
    return copied < total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT Fdo, PIRP Irp) {
    ScopedIoReference reference(Fdo);
    Irp->IoStatus.Information = 0;
    if (!IsAcceptingRequests(Fdo))
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_GET_CONFIGURATION_DESCRIPTOR:
        status = CopyConfigurationDescriptor(Fdo, Irp);
        break;
    case IOCTL_RESET_DEVICE:
        status = ResetDeviceIfPortDisabled(Fdo);
        break;
    case IOCTL_VENDOR_REQUEST:
        status = SendVendorRequest(Fdo, Irp);
        break;
    default:
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    return CompleteRequest(Irp, status);
}
