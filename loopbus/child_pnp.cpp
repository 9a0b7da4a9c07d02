// The child PDO's Plug and Play requests, answered as a USB hub answers for a device on its port:
// the device's identifiers, its capabilities, itself as its target relation; starts and stops
// succeed while the device is on the bus; removal fails what the PDO still holds and, once the
// device has left the bus, deletes the PDO. Requests it does not handle keep their status.
#include "loopbus/loopbus.h"
#include "loopbus/pool.h"
#include "loopbus/urb_outcome.h"

namespace {

// The identifiers as multi-strings (each string ends in a zero, the list in another one).
// clang-format off
constexpr WCHAR kDeviceId[] = L"USB\\VID_1209&PID_0001\0";
constexpr WCHAR kInstanceId[] = L"1\0";
constexpr WCHAR kHardwareIds[] = L"USB\\VID_1209&PID_0001&REV_0100\0USB\\VID_1209&PID_0001\0";
constexpr WCHAR kCompatibleIds[] =
    L"USB\\Class_FF&SubClass_00&Prot_00\0USB\\Class_FF&SubClass_00\0USB\\Class_FF\0";
constexpr WCHAR kDescription[] = L"Loopback device on loopbus\0";
// clang-format on

// A copy in pool memory, which the Plug and Play manager frees with ExFreePool.
NTSTATUS AnswerWithString(PIRP Irp, const WCHAR* Text, SIZE_T Bytes) {
    auto copy = static_cast<PWCHAR>(AllocateBusPool(Bytes));
    if (copy == nullptr)
        return CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES);
    RtlCopyMemory(copy, Text, Bytes);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(copy);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS KeepStatus(PIRP Irp) {
    const NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS QueryId(PIRP Irp, BUS_QUERY_ID_TYPE Type) {
    switch (Type) {
    case BusQueryDeviceID:
        return AnswerWithString(Irp, kDeviceId, sizeof(kDeviceId));
    case BusQueryInstanceID:
        return AnswerWithString(Irp, kInstanceId, sizeof(kInstanceId));
    case BusQueryHardwareIDs:
        return AnswerWithString(Irp, kHardwareIds, sizeof(kHardwareIds));
    case BusQueryCompatibleIDs:
        return AnswerWithString(Irp, kCompatibleIds, sizeof(kCompatibleIds));
    default:
        return KeepStatus(Irp);
    }
}

// A removable device on port 1 that suspends (D2) while the system sleeps and may wake it. As the
// simulator's bus does, a record whose sender does not say it holds a whole one of this version
// (Size, Version 1) is refused rather than written past.
NTSTATUS QueryCapabilities(PIRP Irp, PDEVICE_CAPABILITIES Caps) {
    if (Caps == nullptr || Caps->Size < sizeof(DEVICE_CAPABILITIES) || Caps->Version != 1)
        return CompleteIrp(Irp, STATUS_INVALID_PARAMETER);
    RtlZeroMemory(Caps, sizeof(DEVICE_CAPABILITIES));
    Caps->Size = sizeof(DEVICE_CAPABILITIES);
    Caps->Version = 1;
    Caps->DeviceD1 = TRUE;
    Caps->DeviceD2 = TRUE;
    Caps->Removable = TRUE;
    Caps->WakeFromD0 = TRUE;
    Caps->WakeFromD1 = TRUE;
    Caps->WakeFromD2 = TRUE;
    Caps->Address = 1;
    Caps->UINumber = 1;
    Caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    Caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    Caps->DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    Caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    Caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    Caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    Caps->SystemWake = PowerSystemSleeping3;
    Caps->DeviceWake = PowerDeviceD2;
    return CompleteIrp(Irp, STATUS_SUCCESS);
}

NTSTATUS QueryTargetRelation(PDEVICE_OBJECT Pdo, PIRP Irp) {
    auto relations = static_cast<PDEVICE_RELATIONS>(AllocateBusPool(sizeof(DEVICE_RELATIONS)));
    if (relations == nullptr)
        return CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES);
    ObReferenceObject(Pdo);
    relations->Count = 1;
    relations->Objects[0] = Pdo;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS StartChild(CHILD_EXTENSION* Child, PIRP Irp) {
    NTSTATUS status = STATUS_SUCCESS;
    {
        BusLockGuard lock(Child->Bus);
        ++Child->Bus->Counts.Starts;
        if (Child->Present)
            Child->Gone = FALSE;
        else
            status = STATUS_NO_SUCH_DEVICE; // it left the bus; its PDO is on its way out
    }
    return CompleteIrp(Irp, status);
}

// Surprise removal and removal fail what the PDO still holds: nothing will serve it now.
void EndRequests(CHILD_EXTENSION* Child, ULONG* Counter) {
    {
        BusLockGuard lock(Child->Bus);
        ++*Counter;
        Child->Gone = TRUE;
    }
    FlushTransfers(Child, kLoopbusPipeCount, kUrbDeviceGone);
    FailWaitWake(Child, STATUS_NO_SUCH_DEVICE);
}

NTSTATUS RemoveChild(CHILD_EXTENSION* Child, PIRP Irp) {
    EndRequests(Child, &Child->Bus->Counts.Removals);
    BOOLEAN present;
    {
        BusLockGuard lock(Child->Bus);
        present = Child->Present;
    }
    CompleteIrp(Irp, STATUS_SUCCESS);
    // A device still on the bus keeps its PDO (it was disabled, not unplugged): the bus reports
    // it again on the next enumeration.
    if (!present)
        DeleteChild(Child->Bus, Child->Self);
    return STATUS_SUCCESS;
}

NTSTATUS CountAndSucceed(CHILD_EXTENSION* Child, PIRP Irp, ULONG* Counter) {
    if (Counter != nullptr) {
        BusLockGuard lock(Child->Bus);
        ++*Counter;
    }
    return CompleteIrp(Irp, STATUS_SUCCESS);
}

} // namespace

NTSTATUS ChildDispatchPnp(PDEVICE_OBJECT Pdo, PIRP Irp) {
    CHILD_EXTENSION* child = ChildOf(Pdo);
    LOOPBUS_COUNTS& counts = child->Bus->Counts;
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        return QueryId(Irp, stack->Parameters.QueryId.IdType);
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription)
            return KeepStatus(Irp);
        return AnswerWithString(Irp, kDescription, sizeof(kDescription));
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(Irp, stack->Parameters.DeviceCapabilities.Capabilities);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
            return KeepStatus(Irp);
        return QueryTargetRelation(Pdo, Irp);
    case IRP_MN_START_DEVICE:
        return StartChild(child, Irp);
    case IRP_MN_STOP_DEVICE:
        return CountAndSucceed(child, Irp, &counts.Stops);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return CountAndSucceed(child, Irp, nullptr);
    case IRP_MN_SURPRISE_REMOVAL:
        EndRequests(child, &counts.SurpriseRemovals);
        return CompleteIrp(Irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveChild(child, Irp);
    default:
        return KeepStatus(Irp);
    }
}
