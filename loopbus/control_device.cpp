// The bus's control device, through which a test steers the bus (loopbus_control.h). It is a
// plain named device beside the Plug and Play stacks, created with the bus FDO and deleted with
// it; nothing else is reached through it.
#include "loopbus/loopbus.h"
#include "loopbus/pool.h"

namespace {

// The child's state and the counts, in one consistent picture.
NTSTATUS GetCounts(BUS_EXTENSION* Bus, PIRP Irp, ULONG OutputBytes) {
    if (OutputBytes != sizeof(LOOPBUS_COUNTS))
        return CompleteIrp(Irp, STATUS_INVALID_PARAMETER);
    auto counts = static_cast<LOOPBUS_COUNTS*>(Irp->AssociatedIrp.SystemBuffer);
    {
        BusLockGuard lock(Bus);
        *counts = Bus->Counts;
        const CHILD_EXTENSION* child = Bus->Child != nullptr ? ChildOf(Bus->Child) : nullptr;
        counts->PdoExists = child != nullptr;
        counts->DevicePresent = child != nullptr && child->Present;
        counts->Configured = child != nullptr ? child->Configuration : 0;
        counts->QueuedBytes =
            child != nullptr ? static_cast<ULONG>(child->Device.QueuedBytes()) : 0;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = sizeof(LOOPBUS_COUNTS);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS SetFault(BUS_EXTENSION* Bus, const LOOPBUS_FAULT* Fault, ULONG InputBytes) {
    if (InputBytes != sizeof(LOOPBUS_FAULT) || Fault->Kind > LoopbusFaultCorrupt ||
        (Fault->Kind == LoopbusFaultCorrupt && Fault->In == 0))
        return STATUS_INVALID_PARAMETER; // only data coming in can be corrupted
    BusLockGuard lock(Bus);
    if (Bus->Child == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    CHILD_EXTENSION* child = ChildOf(Bus->Child);
    (Fault->In != 0 ? child->FaultIn : child->FaultOut) = *Fault;
    return STATUS_SUCCESS;
}

NTSTATUS DisablePort(BUS_EXTENSION* Bus) {
    BusLockGuard lock(Bus);
    if (Bus->Child == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    ChildOf(Bus->Child)->PortEnabled = FALSE;
    return STATUS_SUCCESS;
}

// A device unplugged keeps its PDO until its removal is through: plugging it in before then
// would put two devices on one port.
NTSTATUS Plug(BUS_EXTENSION* Bus) {
    {
        BusLockGuard lock(Bus);
        if (Bus->Child != nullptr)
            return ChildOf(Bus->Child)->Present ? STATUS_SUCCESS : STATUS_DEVICE_BUSY;
    }
    return PlugChild(Bus);
}

NTSTATUS DeviceControl(BUS_EXTENSION* Bus, PIRP Irp) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const auto& control = stack->Parameters.DeviceIoControl;
    switch (control.IoControlCode) {
    case IOCTL_LOOPBUS_GET_COUNTS:
        return GetCounts(Bus, Irp, control.OutputBufferLength);
    case IOCTL_LOOPBUS_SET_FAULT:
        return CompleteIrp(
            Irp, SetFault(Bus, static_cast<LOOPBUS_FAULT*>(Irp->AssociatedIrp.SystemBuffer),
                          control.InputBufferLength));
    case IOCTL_LOOPBUS_DISABLE_PORT:
        return CompleteIrp(Irp, DisablePort(Bus));
    case IOCTL_LOOPBUS_UNPLUG:
        UnplugChild(Bus);
        return CompleteIrp(Irp, STATUS_SUCCESS);
    case IOCTL_LOOPBUS_PLUG:
        return CompleteIrp(Irp, Plug(Bus));
    default:
        return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

} // namespace

NTSTATUS CreateControlDevice(PDRIVER_OBJECT Driver, BUS_EXTENSION* Bus) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, LOOPBUS_CONTROL_DEVICE_NAME);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(CONTROL_EXTENSION), &name, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, LOOPBUS_CONTROL_LINK_NAME);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    auto ext = static_cast<CONTROL_EXTENSION*>(device->DeviceExtension);
    ext->Kind = LoopbusKind::Control;
    ext->Bus = Bus;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    Bus->ControlDevice = device;
    return STATUS_SUCCESS;
}

void DeleteControlDevice(BUS_EXTENSION* Bus) {
    if (Bus->ControlDevice == nullptr)
        return;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, LOOPBUS_CONTROL_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(Bus->ControlDevice);
    Bus->ControlDevice = nullptr;
}

NTSTATUS ControlDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
    BUS_EXTENSION* bus = static_cast<CONTROL_EXTENSION*>(Device->DeviceExtension)->Bus;
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        return CompleteIrp(Irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
        return DeviceControl(bus, Irp);
    default:
        return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}
