// IOCTL_INTERNAL_USB_SUBMIT_URB: checking a URB, the observers, scripted faults, and handing it
// to the handler of its function. Transfers go to the host controller; the rest is done here.
#include <memory>

#include "sim/core/system.h"
#include "sim/usb/bus_device.h"
#include "sim/usb/bus_driver.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/pdo_dispatch.h"
#include "sim/usb/status_map.h"
#include "platform/urb_fixed_length.h"

namespace sim::usb {

namespace {

// The endpoint a URB addresses, for matching scripted faults.
std::optional<UCHAR> endpointOf(const BusDevice& device, const URB& urb) {
    const Pipe* pipe = nullptr;
    switch (urb.UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        pipe = device.findPipe(urb.UrbBulkOrInterruptTransfer.PipeHandle);
        break;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
        pipe = device.findPipe(urb.UrbPipeRequest.PipeHandle);
        break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_VENDOR_DEVICE:
        return UCHAR{0};
    default:
        return std::nullopt;
    }
    return pipe != nullptr ? std::optional<UCHAR>(pipe->endpointAddress) : std::nullopt;
}

// The driver's data buffer: TransferBufferMDL (mapped to system space) or TransferBuffer.
std::optional<std::span<std::uint8_t>> resolveBuffer(PVOID buffer, PMDL mdl, ULONG length,
                                                     USBD_STATUS& refusal) {
    refusal = USBD_STATUS_INVALID_PARAMETER;
    if (length == 0)
        return std::span<std::uint8_t>{};
    if (mdl != nullptr) {
        if (MmGetMdlByteCount(mdl) < length)
            return std::nullopt; // the MDL describes less than the transfer would move
        auto* mapped =
            static_cast<std::uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        if (mapped == nullptr) {
            refusal = kUsbdInsufficientResources;
            return std::nullopt;
        }
        return std::span<std::uint8_t>{mapped, length};
    }
    if (buffer == nullptr || !insidePoolBlock(buffer, length, "a URB's TransferBuffer"))
        return std::nullopt;
    return std::span<std::uint8_t>{static_cast<std::uint8_t*>(buffer), length};
}

// Fills the transfer from its URB; a USB status when the URB is refused.
std::optional<USBD_STATUS> describe(Transfer& t) {
    URB& urb = *t.urb;
    USBD_STATUS refusal = USBD_STATUS_INVALID_PARAMETER;
    std::optional<std::span<std::uint8_t>> buffer;
    switch (t.function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto& b = urb.UrbBulkOrInterruptTransfer;
        t.pipe = t.device->findPipe(b.PipeHandle);
        if (t.pipe == nullptr)
            return USBD_STATUS_INVALID_PIPE_HANDLE;
        t.endpointAddress = t.pipe->endpointAddress;
        t.in = (b.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        t.shortOk = (b.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        const bool endpointIn = USB_ENDPOINT_DIRECTION_IN(t.endpointAddress) != 0;
        if ((t.pipe->type != UsbdPipeTypeBulk && t.pipe->type != UsbdPipeTypeInterrupt) ||
            t.in != endpointIn)
            return USBD_STATUS_INVALID_PARAMETER;
        buffer =
            resolveBuffer(b.TransferBuffer, b.TransferBufferMDL, b.TransferBufferLength, refusal);
        break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto& d = urb.UrbControlDescriptorRequest;
        t.in = true;
        t.shortOk = true;
        t.setup = SetupPacket{kRequestTypeStandardIn, kRequestGetDescriptor,
                              static_cast<USHORT>(d.DescriptorType << 8 | d.Index), d.LanguageId,
                              static_cast<USHORT>(std::min<ULONG>(d.TransferBufferLength, 0xFFFF))};
        buffer =
            resolveBuffer(d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength, refusal);
        break;
    }
    case URB_FUNCTION_VENDOR_DEVICE: {
        auto& v = urb.UrbControlVendorClassRequest;
        t.in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        t.shortOk = (v.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        if (v.TransferBufferLength > 0xFFFF) // wLength is 16 bits (USB 2.0, 9.3.5)
            return USBD_STATUS_INVALID_PARAMETER;
        const auto type = static_cast<UCHAR>((t.in ? kRequestTypeStandardIn : 0) |
                                             kRequestTypeVendorOut | v.RequestTypeReservedBits);
        t.setup = SetupPacket{type, v.Request, v.Value, v.Index,
                              static_cast<USHORT>(v.TransferBufferLength)};
        buffer =
            resolveBuffer(v.TransferBuffer, v.TransferBufferMDL, v.TransferBufferLength, refusal);
        break;
    }
    default:
        return USBD_STATUS_INVALID_URB_FUNCTION;
    }
    if (!buffer)
        return refusal;
    t.buffer = *buffer;
    return std::nullopt;
}

bool isTransfer(USHORT function) {
    return function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
           function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
           function == URB_FUNCTION_VENDOR_DEVICE;
}

NTSTATUS submitTransfer(BusDevice& device, PIRP irp, PURB urb, std::optional<UrbFault> fault,
                        bool pended) {
    auto transfer = std::make_shared<Transfer>();
    transfer->device = &device;
    transfer->irp = irp;
    transfer->urb = urb;
    transfer->function = urb->UrbHeader.Function;
    transfer->fault = fault;
    transfer->markedPending = pended;
    // Refused before the controller took it: the URB keeps the length the driver wrote.
    if (auto refusal = describe(*transfer)) {
        const NTSTATUS status = ntStatusFor(*refusal);
        device.completeUrb(irp, urb, status, *refusal);
        return pended ? STATUS_PENDING : status;
    }
    // A suspended port takes nothing, whatever the completion mode.
    if (device.suspended()) {
        device.completeUrb(irp, urb, kStatusDevicePoweredOff, USBD_STATUS_DEV_NOT_RESPONDING);
        return pended ? STATUS_PENDING : kStatusDevicePoweredOff;
    }
    return device.controller().submit(transfer);
}

} // namespace

NTSTATUS submitUrb(BusDevice& device, PIRP irp, PURB urb, bool pended) {
    const auto done = [&](NTSTATUS status) { return pended ? STATUS_PENDING : status; };
    if (urb == nullptr || !insidePoolBlock(urb, sizeof(_URB_HEADER), "a URB's header") ||
        !insidePoolBlock(urb, urb->UrbHeader.Length, "a URB (by its Hdr.Length)")) {
        device.bus().notifyRequest(device, irp); // not a URB the observers could read
        device.completeRequest(irp, STATUS_INVALID_PARAMETER);
        return done(STATUS_INVALID_PARAMETER);
    }
    device.bus().notifySubmit(device, *urb, irp);
    const USHORT function = urb->UrbHeader.Function;
    if (urb->UrbHeader.Length < UrbFixedLength(function)) {
        const UrbResult refused = UrbResult::usb(USBD_STATUS_INVALID_PARAMETER);
        device.completeUrb(irp, urb, refused.irpStatus, refused.usbStatus);
        return done(refused.irpStatus);
    }
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    auto fault = device.faults().match(function, endpointOf(device, *urb));
    if (isTransfer(function))
        return submitTransfer(device, irp, urb, fault, pended);

    if (fault && fault->action == FaultAction::DisablePort)
        device.setPortEnabled(false);
    UrbResult result = UrbResult::usb(USBD_STATUS_INVALID_URB_FUNCTION);
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        result = selectConfiguration(device, *urb, fault);
        break;
    case URB_FUNCTION_ABORT_PIPE:
        result = abortPipe(device, *urb, fault);
        break;
    case URB_FUNCTION_RESET_PIPE:
        result = resetPipe(device, *urb, fault);
        break;
    default:
        break;
    }
    device.completeUrb(irp, urb, result.irpStatus, result.usbStatus);
    return done(result.irpStatus);
}

} // namespace sim::usb
