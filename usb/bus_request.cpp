// Synchronous internal control requests to the bus driver.
//
// Each request is an IRP built by the I/O manager (IoBuildDeviceIoControlRequest): the I/O
// manager fills our status block, sets our event and frees the IRP when it completes, so the
// driver never touches the IRP after sending it.
#include "usb/bus_request.h"

namespace {

// Sends one internal control code to the device below the FDO with Argument in the first
// argument slot of the bus driver's stack location, and waits for the answer.
NTSTATUS CallBusDriverSync(PDEVICE_OBJECT Fdo, ULONG IoControlCode, PVOID Argument) {
    const PDEVICE_OBJECT lower = GetExtension(Fdo)->LowerDeviceObject;

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    const PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, lower, nullptr, 0, nullptr, 0,
                                                   TRUE, &done, &ioStatus);
    // Nothing was sent, so nothing to wait for: the same status as every allocation failure.
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;

    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Argument;

    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

} // namespace

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT Fdo, PURB Urb) {
    return CallBusDriverSync(Fdo, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb);
}

NTSTATUS GetPortStatus(PDEVICE_OBJECT Fdo, PULONG PortStatus) {
    *PortStatus = 0;
    return CallBusDriverSync(Fdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, PortStatus);
}

NTSTATUS ResetPort(PDEVICE_OBJECT Fdo) {
    return CallBusDriverSync(Fdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
}
