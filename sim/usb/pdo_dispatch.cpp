// The bus driver's PDO: routing by major function, the internal control codes, Plug and Play
// and power.
#include "sim/usb/pdo_dispatch.h"

#include <string>

#include "sim/core/system.h"
#include "sim/io/io_manager.h"
#include "sim/sync/dispatcher.h"
#include "sim/usb/bus_device.h"
#include "sim/usb/bus_driver.h"
#include "sim/usb/host_controller.h"

namespace sim::usb {

namespace {

NTSTATUS finish(BusDevice& device, PIRP irp, NTSTATUS status, bool pended,
                ULONG_PTR information = 0) {
    device.completeRequest(irp, status, information);
    return pended ? STATUS_PENDING : status;
}

// The port requests are documented for PASSIVE_LEVEL only.
void checkPassive(PIRP irp, const char* request, bool pended) {
    if (pended || currentIrql() == PASSIVE_LEVEL)
        return;
    current().verifier().report(
        Rule::IrqlMisuse, std::string(request) + " sent at IRQL " + std::to_string(currentIrql()) +
                              " (PASSIVE_LEVEL only) with " + current().io().describeIrp(irp));
}

NTSTATUS internalControl(BusDevice& device, PIRP irp, bool pended) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB)
        return submitUrb(device, irp, static_cast<PURB>(stack->Parameters.Others.Argument1),
                         pended);

    device.bus().notifyRequest(device, irp);
    switch (code) {
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        checkPassive(irp, "IOCTL_INTERNAL_USB_GET_PORT_STATUS", pended);
        auto* word = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        if (word == nullptr)
            return finish(device, irp, STATUS_INVALID_PARAMETER, pended);
        *word = (device.portEnabled() ? USBD_PORT_ENABLED : 0) |
                (device.portConnected() ? USBD_PORT_CONNECTED : 0);
        return finish(device, irp, STATUS_SUCCESS, pended);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
        checkPassive(irp, "IOCTL_INTERNAL_USB_RESET_PORT", pended);
        return finish(device, irp, device.resetPort(), pended);
    default:
        return finish(device, irp, STATUS_INVALID_DEVICE_REQUEST, pended);
    }
}

// A bus driver answers the capability query and lets the state changes succeed (a start only
// while the device is on the bus); minors it does not handle complete with the status they came
// with.
NTSTATUS pnp(BusDevice& device, PIRP irp, bool pended) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    device.notePnp(stack->MinorFunction);
    device.bus().notifyRequest(device, irp);
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_CAPABILITIES: {
        // The sender says which record it holds (Size, Version 1); a strict bus driver refuses a
        // record it cannot vouch for rather than write past one.
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (caps == nullptr || caps->Size < sizeof(DEVICE_CAPABILITIES) || caps->Version != 1)
            return finish(device, irp, STATUS_INVALID_PARAMETER, pended);
        *caps = device.capabilities();
        return finish(device, irp, STATUS_SUCCESS, pended);
    }
    case IRP_MN_START_DEVICE:
        // A device that has left the bus cannot be started again; its PDO is on its way out. A
        // start powers the device (D0), whatever state its last driver left it in.
        if (device.gone())
            return finish(device, irp, STATUS_NO_SUCH_DEVICE, pended);
        device.setDevicePower(PowerDeviceD0);
        return finish(device, irp, STATUS_SUCCESS, pended);
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        // A removed PDO fails the wait-wake it holds: that wake can no longer come.
        device.signalWake(STATUS_NO_SUCH_DEVICE);
        return finish(device, irp, STATUS_SUCCESS, pended);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return finish(device, irp, STATUS_SUCCESS, pended);
    default:
        return finish(device, irp, irp->IoStatus.Status, pended, irp->IoStatus.Information);
    }
}

NTSTATUS power(BusDevice& device, PIRP irp, bool pended) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    device.bus().notifyRequest(device, irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
        return device.answerPower(irp, pended);
    PoStartNextPowerIrp(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_WAIT_WAKE: {
        const NTSTATUS status = device.holdWaitWake(irp);
        return pended ? STATUS_PENDING : status;
    }
    default:
        return finish(device, irp, irp->IoStatus.Status, pended, irp->IoStatus.Information);
    }
}

NTSTATUS handle(BusDevice& device, PIRP irp, bool pended) {
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return internalControl(device, irp, pended);
    case IRP_MJ_PNP:
        return pnp(device, irp, pended);
    case IRP_MJ_POWER:
        return power(device, irp, pended);
    default:
        device.bus().notifyRequest(device, irp);
        return finish(device, irp, irp->IoStatus.Status, pended, irp->IoStatus.Information);
    }
}

} // namespace

NTSTATUS NTAPI dispatchPdo(PDEVICE_OBJECT pdo, PIRP irp) {
    BusDevice* device = BusDriver::deviceOf(pdo);
    if (device == nullptr) {
        irp->IoStatus.Status = STATUS_NO_SUCH_DEVICE;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NO_SUCH_DEVICE;
    }
    HostController& controller = device->controller();
    if (controller.forcePending()) {
        IoMarkIrpPending(irp);
        controller.post([device, irp] { handle(*device, irp, true); });
        return STATUS_PENDING;
    }
    return handle(*device, irp, false);
}

} // namespace sim::usb
