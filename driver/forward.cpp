#include "driver/forward.h"

namespace {

// Calls the lower driver with the IRP whose next stack location is set.
NTSTATUS CallLowerDriver(PDEVICE_OBJECT Fdo, PIRP Irp, BOOLEAN PowerIrp) {
    const PDEVICE_OBJECT lower = GetExtension(Fdo)->LowerDeviceObject;
    if (!PowerIrp)
        return IoCallDriver(lower, Irp);
    PoStartNextPowerIrp(Irp);
    return PoCallDriver(lower, Irp);
}

NTSTATUS ForwardAndWaitFor(PDEVICE_OBJECT Fdo, PIRP Irp, BOOLEAN PowerIrp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    const NTSTATUS status = CallLowerDriver(Fdo, Irp, PowerIrp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
    return Irp->IoStatus.Status;
}

} // namespace

NTSTATUS PassDownCopied(PDEVICE_OBJECT Fdo, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return CallLowerDriver(Fdo, Irp, FALSE);
}

NTSTATUS PassPowerIrpDown(PDEVICE_OBJECT Fdo, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return CallLowerDriver(Fdo, Irp, TRUE);
}

NTSTATUS PassDownSkipped(PDEVICE_OBJECT Fdo, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(GetExtension(Fdo)->LowerDeviceObject, Irp);
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT Fdo, PIRP Irp) {
    return ForwardAndWaitFor(Fdo, Irp, FALSE);
}

NTSTATUS ForwardPowerIrpAndWait(PDEVICE_OBJECT Fdo, PIRP Irp) {
    return ForwardAndWaitFor(Fdo, Irp, TRUE);
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
