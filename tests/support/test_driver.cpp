#include "tests/support/test_driver.h"

#include "sim/core/system.h"

namespace wdmusb::test {

TestDriver::TestDriver() {
    driver_ = sim::current().io().loadDriver("test", nullptr, nullptr);
    for (auto& slot : driver_->MajorFunction)
        slot = &TestDriver::dispatch;
}

TestDriver::~TestDriver() {
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
        auto* rec = sim::current().io().record(*it);
        if (rec == nullptr || rec->deleted)
            continue;
        if (rec->attachedTo != nullptr)
            IoDetachDevice(rec->attachedTo);
        IoDeleteDevice(*it);
    }
}

PDEVICE_OBJECT TestDriver::createDevice(IrpHandler handler, PDEVICE_OBJECT below) {
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver_, sizeof(IrpHandler*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    handlers_.push_back(std::make_unique<IrpHandler>(std::move(handler)));
    *static_cast<IrpHandler**>(device->DeviceExtension) = handlers_.back().get();
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (below != nullptr)
        IoAttachDeviceToDeviceStack(device, below);
    devices_.push_back(device);
    return device;
}

NTSTATUS NTAPI TestDriver::dispatch(PDEVICE_OBJECT device, PIRP irp) {
    return (**static_cast<IrpHandler**>(device->DeviceExtension))(device, irp);
}

IrpHandler recordAndComplete(std::vector<SeenIrp>& seen, NTSTATUS status, bool keepStatus) {
    return [&seen, status, keepStatus](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        seen.push_back(SeenIrp{stack->MajorFunction, stack->MinorFunction, irp->IoStatus.Status,
                               irp->IoStatus.Information, stack->Control,
                               stack->Parameters.Others.Argument1});
        if (!keepStatus)
            irp->IoStatus.Status = status;
        const NTSTATUS final = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return final;
    };
}

IO_STATUS_BLOCK sendAndWait(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                            const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare,
                            NTSTATUS* dispatchStatus) {
    sim::IoManager& io = sim::current().io();
    PDEVICE_OBJECT top = io.topOfStack(target);
    PIRP irp = io.allocateIrp(top->StackSize, sim::IrpOrigin::Application, SimCallSite::current());
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK result{};
    irp->UserIosb = &result;
    irp->UserEvent = &done;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    io.setTopCompletion(irp, [](PIRP finished) {
        *finished->UserIosb = finished->IoStatus;
        KeSetEvent(finished->UserEvent, IO_NO_INCREMENT, FALSE);
    });
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (prepare)
        prepare(irp, next);
    const NTSTATUS status = IoCallDriver(top, irp);
    if (dispatchStatus != nullptr)
        *dispatchStatus = status;
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return result;
}

} // namespace wdmusb::test
