// A transfer meets the device: what the port, the pipe, a scripted fault and the model make of it.
#include <algorithm>

#include "sim/usb/bus_device.h"
#include "sim/usb/status_map.h"
#include "sim/usb/transfer.h"

namespace sim::usb {

namespace {

// GET_DESCRIPTOR answered from the model's descriptors: min(asked, available) bytes (USB 2.0,
// 9.4.3: a shorter descriptor simply ends the data stage).
TransferResult getDescriptor(DeviceModel& model, const SetupPacket& setup,
                             std::span<std::uint8_t> data) {
    const UCHAR type = static_cast<UCHAR>(setup.wValue >> 8);
    const UCHAR index = static_cast<UCHAR>(setup.wValue & 0xFF);
    std::vector<std::uint8_t> bytes;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE)
        bytes = model.deviceDescriptor();
    else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE)
        bytes = model.configurationDescriptor(index);
    if (bytes.empty())
        return TransferResult::error(USBD_STATUS_STALL_PID);
    const std::size_t moved = std::min(bytes.size(), data.size());
    std::copy_n(bytes.begin(), moved, data.begin());
    return TransferResult::done(moved);
}

bool isStandardGetDescriptor(const SetupPacket& setup) {
    return setup.bmRequestType == kRequestTypeStandardIn && setup.bRequest == kRequestGetDescriptor;
}

TransferResult askModel(Transfer& transfer, std::span<std::uint8_t> data) {
    BusDevice& device = *transfer.device;
    std::lock_guard lock(device.modelMutex());
    if (!transfer.setup)
        return device.model().transfer(transfer.endpointAddress, data);
    if (isStandardGetDescriptor(*transfer.setup))
        return getDescriptor(device.model(), *transfer.setup, data);
    return device.model().control(*transfer.setup, data);
}

} // namespace

Outcome offerToDevice(Transfer& transfer) {
    BusDevice& device = *transfer.device;
    const auto& fault = transfer.fault;
    if (fault && fault->action == FaultAction::DisablePort)
        device.setPortEnabled(false);
    if (!device.portConnected())
        return Outcome::refused(ntStatusFor(USBD_STATUS_DEVICE_GONE), USBD_STATUS_DEVICE_GONE);
    if (!device.portEnabled())
        return Outcome::refused(ntStatusFor(USBD_STATUS_DEV_NOT_RESPONDING),
                                USBD_STATUS_DEV_NOT_RESPONDING);
    if (device.suspended())
        return Outcome::refused(kStatusDevicePoweredOff, USBD_STATUS_DEV_NOT_RESPONDING);
    if (fault && fault->action == FaultAction::Fail) {
        if (haltsEndpoint(fault->usbStatus) && transfer.pipe != nullptr)
            device.setPipeHalted(transfer.pipe, true);
        return Outcome::failed(fault->irpStatus, fault->usbStatus);
    }
    if (device.pipeHalted(transfer.pipe))
        return Outcome::failed(ntStatusFor(USBD_STATUS_STALL_PID), USBD_STATUS_STALL_PID);

    std::span<std::uint8_t> data = transfer.buffer;
    if (fault && fault->action == FaultAction::CompleteShort)
        data = data.first(std::min<std::size_t>(data.size(), fault->bytes));
    const TransferResult result = askModel(transfer, data);
    if (result.kind == TransferResult::Kind::Wait)
        return Outcome{TransferResult::Kind::Wait};

    Outcome outcome{TransferResult::Kind::Done, std::min(result.bytes, data.size()),
                    ntStatusFor(result.status), result.status};
    if (haltsEndpoint(result.status) && transfer.pipe != nullptr)
        device.setPipeHalted(transfer.pipe, true);
    if (USBD_SUCCESS(outcome.usbStatus) && transfer.in && !transfer.shortOk &&
        outcome.bytes < transfer.buffer.size()) {
        outcome.usbStatus = USBD_STATUS_ERROR_SHORT_TRANSFER;
        outcome.irpStatus = ntStatusFor(USBD_STATUS_ERROR_SHORT_TRANSFER);
    }
    return outcome;
}

void setTransferLength(Transfer& transfer, std::size_t bytes) {
    const auto length = static_cast<ULONG>(bytes);
    URB& urb = *transfer.urb;
    switch (transfer.function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
        break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        urb.UrbControlDescriptorRequest.TransferBufferLength = length;
        break;
    case URB_FUNCTION_VENDOR_DEVICE:
        urb.UrbControlVendorClassRequest.TransferBufferLength = length;
        break;
    default:
        break;
    }
}

} // namespace sim::usb
