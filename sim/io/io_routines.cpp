// The I/O manager's routines as the driver calls them.
#include <algorithm>
#include <cstring>

#include "sim/core/system.h"
#include "sim/io/io_manager.h"
#include "sim/sync/dispatcher.h"

using namespace sim;

namespace {

// The platform's documented ceilings for the routines below; a caller above one is reported and
// served all the same, as the platform (which would crash or deadlock instead) cannot be.
void checkIrql(KIRQL ceiling, Rule rule, const char* routine, const SimCallSite& site) {
    if (currentIrql() <= ceiling)
        return;
    current().verifier().report(rule,
                                std::string(routine) + " at IRQL " + std::to_string(currentIrql()) +
                                    " (allowed up to " + std::to_string(ceiling) + ")",
                                site);
}

} // namespace

void SimCheckIrpLive(PIRP Irp, const char* Operation, SimCallSite Caller) {
    current().io().checkLive(Irp, Operation, Caller);
}

bool SimCheckNextLocation(PIRP Irp, const char* Operation, SimCallSite Caller) {
    if (!current().io().checkLive(Irp, Operation, Caller))
        return false;
    if (Irp->CurrentLocation > 1)
        return true;
    current().verifier().report(Rule::NoMoreStackLocations,
                                std::string(Operation) + " of " + current().io().describeIrp(Irp) +
                                    " at its last stack location: no stack location left below it",
                                Caller);
    return false;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN, SimCallSite Caller) {
    if (current().faults().shouldFail(AllocKind::Irp, Caller))
        return nullptr;
    return current().io().allocateIrp(StackSize, IrpOrigin::Driver, Caller);
}

void NTAPI IoFreeIrp(PIRP Irp, SimCallSite Caller) {
    current().io().freeIrp(Irp, Caller);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock, SimCallSite Caller) {
    checkIrql(PASSIVE_LEVEL, Rule::DeviceControlBuiltAbovePassive, "IoBuildDeviceIoControlRequest",
              Caller);
    if (current().faults().shouldFail(AllocKind::DeviceControlIrp, Caller))
        return nullptr;
    const ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        current().verifier().report(Rule::ObjectMisuse,
                                    "direct-I/O control codes are not modelled for "
                                    "IoBuildDeviceIoControlRequest",
                                    Caller);
        return nullptr;
    }
    IoManager& io = current().io();
    PIRP irp = io.allocateIrp(DeviceObject->StackSize, IrpOrigin::DeviceControl, Caller);
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    auto buffered = std::make_shared<std::vector<std::byte>>();
    if (method == METHOD_BUFFERED) {
        buffered->resize(std::max(InputBufferLength, OutputBufferLength));
        if (InputBufferLength > 0)
            std::memcpy(buffered->data(), InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = buffered->empty() ? nullptr : buffered->data();
    } else {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    }
    io.setTopCompletion(irp, [buffered, OutputBuffer, OutputBufferLength](PIRP done) {
        if (!buffered->empty() && NT_SUCCESS(done->IoStatus.Status) && OutputBuffer != nullptr) {
            const std::size_t bytes =
                std::min<std::size_t>(done->IoStatus.Information, OutputBufferLength);
            std::memcpy(OutputBuffer, buffered->data(), bytes);
        }
        if (done->UserIosb != nullptr)
            *done->UserIosb = done->IoStatus;
        if (done->UserEvent != nullptr)
            KeSetEvent(done->UserEvent, IO_NO_INCREMENT, FALSE);
    });
    return irp;
}

NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, SimCallSite Caller) {
    checkIrql(DISPATCH_LEVEL, Rule::IrpCallAboveDispatchLevel, "IofCallDriver", Caller);
    return current().io().callDriver(DeviceObject, Irp, false, Caller);
}

void NTAPI IofCompleteRequest(PIRP Irp, CCHAR, SimCallSite Caller) {
    checkIrql(DISPATCH_LEVEL, Rule::IrpCallAboveDispatchLevel, "IofCompleteRequest", Caller);
    current().io().completeRequest(Irp, Caller);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp, SimCallSite Caller) {
    return current().io().cancelIrp(Irp, Caller);
}

void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql, SimCallSite Caller) {
    *Irql = KfAcquireSpinLock(current().io().cancelSpinLock(), Caller);
}

void NTAPI IoReleaseCancelSpinLock(KIRQL Irql, SimCallSite Caller) {
    KfReleaseSpinLock(current().io().cancelSpinLock(), Irql, Caller);
}

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN, PDEVICE_OBJECT* DeviceObject,
                              SimCallSite Caller) {
    if (current().faults().shouldFail(AllocKind::DeviceObject, Caller)) {
        *DeviceObject = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return current().io().createDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                                       DeviceCharacteristics, DeviceObject, Caller);
}

void NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject, SimCallSite Caller) {
    current().io().deleteDevice(DeviceObject, Caller);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice, SimCallSite Caller) {
    return current().io().attach(SourceDevice, TargetDevice, Caller);
}

void NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice, SimCallSite Caller) {
    current().io().detach(TargetDevice, Caller);
}
