#include "driver/forward.h"

NTSTATUS PassDownCopied(PDEVICE_OBJECT Fdo, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(GetExtension(Fdo)->LowerDeviceObject, Irp);
}

NTSTATUS PassDownSkipped(PDEVICE_OBJECT Fdo, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(GetExtension(Fdo)->LowerDeviceObject, Irp);
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT Fdo, PIRP Irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    const NTSTATUS status = IoCallDriver(GetExtension(Fdo)->LowerDeviceObject, Irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
    return Irp->IoStatus.Status;
}

NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), EVENT_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
