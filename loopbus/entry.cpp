// Driver entry, the bus FDO's creation, and the routing of every request by the kind of device
// object it reached: the bus FDO, the child PDO or the control device.
#include "loopbus/loopbus.h"

namespace {

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT Device, PIRP Irp) {
    switch (KindOf(Device)) {
    case LoopbusKind::BusFdo:
        return BusDispatch(Device, Irp);
    case LoopbusKind::Control:
        return ControlDispatch(Device, Irp);
    case LoopbusKind::ChildPdo:
        break;
    }
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_PNP:
        return ChildDispatchPnp(Device, Irp);
    case IRP_MJ_POWER:
        return ChildDispatchPower(Device, Irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return ChildDispatchInternalControl(Device, Irp);
    default: {
        // A PDO completes what it does not handle with the status the request came with.
        const NTSTATUS status = Irp->IoStatus.Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

// One bus per root device; its control device comes with it.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(Driver, sizeof(BUS_EXTENSION), nullptr, FILE_DEVICE_BUS_EXTENDER,
                       FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    BUS_EXTENSION* bus = BusOf(fdo);
    bus->Kind = LoopbusKind::BusFdo;
    bus->Self = fdo;
    bus->Pdo = Pdo;
    KeInitializeSpinLock(&bus->Lock);

    status = CreateControlDevice(Driver, bus);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    bus->LowerDevice = IoAttachDeviceToDeviceStack(fdo, Pdo);
    if (bus->LowerDevice == nullptr) {
        DeleteControlDevice(bus);
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Every device is deleted by its removal before the driver can be unloaded.
void NTAPI DriverUnload(PDRIVER_OBJECT Driver) {
    UNREFERENCED_PARAMETER(Driver);
}

} // namespace

NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        Driver->MajorFunction[major] = Dispatch;
    Driver->DriverExtension->AddDevice = AddDevice;
    Driver->DriverUnload = DriverUnload;
    SupplyMissingRoutines();
    return STATUS_SUCCESS;
}
