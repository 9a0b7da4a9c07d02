// Synchronous internal control requests to the bus driver.
//
// Each request is an IRP built by the I/O manager (IoBuildDeviceIoControlRequest): the I/O
// manager fills our status block, sets our event and frees the IRP when it completes, so the
// driver never touches the IRP after sending it. The control transfers, whose wait is bounded,
// are the exception: they may have to be cancelled after the wait, so their IRP is the driver's
// own, given back by SignalEventCompletion and freed here.
#include "usb/bus_request.h"
#include "driver/forward.h"

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

// Waits for Done at most the control-transfer limit; TRUE when it was set in time.
BOOLEAN WaitInTime(PKEVENT Done) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000LL * WDMUSB_CONTROL_TRANSFER_TIMEOUT_MS; // relative, 100 ns units
    return KeWaitForSingleObject(Done, Suspended, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT;
}

} // namespace

NTSTATUS SubmitControlUrbSync(PDEVICE_OBJECT Fdo, PURB Urb) {
    const PDEVICE_OBJECT lower = GetExtension(Fdo)->LowerDeviceObject;
    const PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    const PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        const BOOLEAN inTime = WaitInTime(&done);
        if (!inTime) {
            IoCancelIrp(irp);
            // The IRP and the URB stay the bus driver's until it gives them back.
            KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, nullptr);
        }
        status = irp->IoStatus.Status;
        if (!inTime && status == STATUS_CANCELLED)
            status = STATUS_IO_TIMEOUT;
    }
    IoFreeIrp(irp);
    return status;
}

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
