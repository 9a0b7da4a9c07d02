// The capability query, sent by AddDevice before the FDO handles any request.
//
// It goes to the PDO itself: the FDO is attached above the PDO by then, and a query sent to the
// top of the stack would come back through the driver's own dispatch routine.
#include "usb/bus_request.h"
#include "driver/forward.h"

NTSTATUS QueryCapabilities(PDEVICE_OBJECT Pdo, PDEVICE_CAPABILITIES Capabilities) {
    const PIRP irp = IoAllocateIrp(Pdo->StackSize, FALSE);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;

    // As the platform expects of whoever sends a Plug and Play IRP: the status says "not
    // supported" until a driver handles it, and the record says what it is (a bus driver may
    // refuse one that does not) with its address and UI number unknown. The rest of the record
    // goes down as the caller holds it: in AddDevice the zero-filled record of the new extension.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    Capabilities->Version = 1;
    Capabilities->Address = static_cast<ULONG>(-1);
    Capabilities->UINumber = static_cast<ULONG>(-1);

    const PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = Capabilities;

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalEventCompletion, &done, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(Pdo, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, nullptr);
        // The IRP is ours again (SignalEventCompletion stopped its completion): its status is
        // the answer. STATUS_PENDING would tell the caller nothing, and a pended query that
        // failed would pass for a success.
        status = irp->IoStatus.Status;
    }
    IoFreeIrp(irp);
    return status;
}
