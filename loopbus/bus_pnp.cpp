// The bus FDO: it starts after the root PDO below it, reports the child in its bus relations,
// passes power requests down, and at removal takes the child and the control device with it.
#include "loopbus/loopbus.h"
#include "loopbus/pool.h"

namespace {

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED; // the IRP is ours again
}

// Sends the IRP down and waits until the lower drivers completed it; returns their status.
NTSTATUS ForwardAndWait(BUS_EXTENSION* Bus, PIRP Irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Bus->LowerDevice, Irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return Irp->IoStatus.Status;
}

NTSTATUS PassDown(BUS_EXTENSION* Bus, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Bus->LowerDevice, Irp);
}

// The child, referenced for the Plug and Play manager, while it is on the bus.
NTSTATUS ReportBusRelations(BUS_EXTENSION* Bus, PIRP Irp) {
    auto relations = static_cast<PDEVICE_RELATIONS>(AllocateBusPool(sizeof(DEVICE_RELATIONS)));
    if (relations == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    relations->Count = 0;
    {
        BusLockGuard lock(Bus);
        if (Bus->Child != nullptr && ChildOf(Bus->Child)->Present) {
            // Referenced under the lock: the PDO cannot be deleted in between.
            ObReferenceObject(Bus->Child);
            relations->Objects[0] = Bus->Child;
            relations->Count = 1;
        }
    }
    // We are the function driver: no relations from a driver above ours to merge.
    if (Irp->IoStatus.Information != 0)
        ExFreePool(reinterpret_cast<PVOID>(Irp->IoStatus.Information));
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return STATUS_SUCCESS;
}

NTSTATUS StartBus(BUS_EXTENSION* Bus, PIRP Irp) {
    NTSTATUS status = ForwardAndWait(Bus, Irp);
    if (NT_SUCCESS(status))
        status = PlugChild(Bus);
    return CompleteIrp(Irp, status);
}

NTSTATUS RemoveBus(BUS_EXTENSION* Bus, PIRP Irp) {
    PDEVICE_OBJECT child = nullptr;
    {
        BusLockGuard lock(Bus);
        child = Bus->Child;
    }
    if (child != nullptr)
        DeleteChild(Bus, child);
    DeleteControlDevice(Bus);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    const NTSTATUS status = PassDown(Bus, Irp);
    IoDetachDevice(Bus->LowerDevice);
    IoDeleteDevice(Bus->Self);
    return status;
}

NTSTATUS BusPnp(BUS_EXTENSION* Bus, PIRP Irp) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartBus(Bus, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type != BusRelations)
            break;
        Irp->IoStatus.Status = ReportBusRelations(Bus, Irp);
        if (!NT_SUCCESS(Irp->IoStatus.Status))
            return CompleteIrp(Irp, Irp->IoStatus.Status);
        break;
    case IRP_MN_REMOVE_DEVICE:
        return RemoveBus(Bus, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    return PassDown(Bus, Irp);
}

} // namespace

NTSTATUS BusDispatch(PDEVICE_OBJECT Fdo, PIRP Irp) {
    BUS_EXTENSION* bus = BusOf(Fdo);
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_PNP:
        return BusPnp(bus, Irp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(bus->LowerDevice, Irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return PassDown(bus, Irp);
    default:
        return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}
