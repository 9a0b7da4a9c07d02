#include "tools/wdmusb-sim/capture/urb_records.h"

#include <algorithm>
#include <cstring>

#include "sim/core/system.h"
#include "sim/memory/mdl_table.h"
#include "sim/memory/pool.h"
#include "sim/usb/bus_device.h"
#include "sim/usb/device_model.h"

namespace wdmusbsim {

namespace {

constexpr std::uint8_t kDirectionIn = 0x80;          // endpoint address bit 7 (USB 2.0, 9.6.6)
constexpr std::uint8_t kRequestSetConfiguration = 9; // USB 2.0, 9.4.7
constexpr std::size_t kLargestData = 256 * 1024;     // more than any one URB of the driver moves

// The bytes of a URB's buffer (MDL or pool pointer), as far as they can be read safely.
std::vector<std::uint8_t> bufferBytes(PVOID buffer, PMDL mdl, ULONG length) {
    std::size_t wanted = std::min<std::size_t>(length, kLargestData);
    const std::uint8_t* start = nullptr;
    if (mdl != nullptr) {
        start = reinterpret_cast<const std::uint8_t*>(sim::current().mdls().peek(mdl));
        if (start != nullptr)
            wanted = std::min<std::size_t>(wanted, MmGetMdlByteCount(mdl));
    } else if (buffer != nullptr && sim::current().pool().blockContaining(buffer, wanted)) {
        start = static_cast<const std::uint8_t*>(buffer);
    }
    if (start == nullptr || wanted == 0)
        return {};
    return {start, start + wanted};
}

std::vector<std::uint8_t> setupBytes(const sim::usb::SetupPacket& setup) {
    return {setup.bmRequestType,
            setup.bRequest,
            static_cast<std::uint8_t>(setup.wValue & 0xFF),
            static_cast<std::uint8_t>(setup.wValue >> 8),
            static_cast<std::uint8_t>(setup.wIndex & 0xFF),
            static_cast<std::uint8_t>(setup.wIndex >> 8),
            static_cast<std::uint8_t>(setup.wLength & 0xFF),
            static_cast<std::uint8_t>(setup.wLength >> 8)};
}

// A control transfer: the setup stage (with any OUT data after the setup packet) going down,
// the completion (with any IN data) coming back.
void control(CapturedUrb& out, const sim::usb::SetupPacket& setup, PVOID buffer, PMDL mdl,
             ULONG length, bool completion) {
    const bool in = setup.deviceToHost();
    out.record.transfer = UsbTransfer::Control;
    out.record.endpoint = in ? kDirectionIn : 0;
    out.record.stage = completion ? ControlStage::Complete : ControlStage::Setup;
    if (!completion) {
        out.data = setupBytes(setup);
        if (!in) {
            const auto bytes = bufferBytes(buffer, mdl, length);
            out.data.insert(out.data.end(), bytes.begin(), bytes.end());
        }
    } else if (in) {
        out.data = bufferBytes(buffer, mdl, length);
    }
}

void descriptorRequest(CapturedUrb& out, const URB& urb, bool completion) {
    const auto& d = urb.UrbControlDescriptorRequest;
    const sim::usb::SetupPacket setup{
        sim::usb::kRequestTypeStandardIn, sim::usb::kRequestGetDescriptor,
        static_cast<USHORT>(d.DescriptorType << 8 | d.Index), d.LanguageId,
        static_cast<USHORT>(std::min<ULONG>(d.TransferBufferLength, 0xFFFF))};
    control(out, setup, d.TransferBuffer, d.TransferBufferMDL, d.TransferBufferLength, completion);
}

void vendorRequest(CapturedUrb& out, const URB& urb, bool completion) {
    const auto& v = urb.UrbControlVendorClassRequest;
    const bool in = (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    const sim::usb::SetupPacket setup{
        static_cast<UCHAR>((in ? kDirectionIn : 0) | sim::usb::kRequestTypeVendorOut |
                           v.RequestTypeReservedBits),
        v.Request, v.Value, v.Index,
        static_cast<USHORT>(std::min<ULONG>(v.TransferBufferLength, 0xFFFF))};
    control(out, setup, v.TransferBuffer, v.TransferBufferMDL, v.TransferBufferLength, completion);
}

void selectConfiguration(CapturedUrb& out, const URB& urb, bool completion) {
    const PUSB_CONFIGURATION_DESCRIPTOR config = urb.UrbSelectConfiguration.ConfigurationDescriptor;
    UCHAR value = 0; // none: the device is unconfigured
    if (config != nullptr &&
        sim::current().pool().blockContaining(config, sizeof(USB_CONFIGURATION_DESCRIPTOR)))
        value = config->bConfigurationValue;
    const sim::usb::SetupPacket setup{0, kRequestSetConfiguration, value, 0, 0};
    control(out, setup, nullptr, nullptr, 0, completion);
}

void bulkTransfer(CapturedUrb& out, const sim::usb::BusDevice& device, const URB& urb,
                  bool completion) {
    const auto& b = urb.UrbBulkOrInterruptTransfer;
    const sim::usb::Pipe* pipe = device.findPipe(b.PipeHandle);
    const bool in = (b.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    out.record.transfer = pipe != nullptr && pipe->type == UsbdPipeTypeInterrupt
                              ? UsbTransfer::Interrupt
                              : UsbTransfer::Bulk;
    out.record.endpoint = pipe != nullptr ? pipe->endpointAddress : (in ? kDirectionIn : 0);
    if (in == completion)
        out.data = bufferBytes(b.TransferBuffer, b.TransferBufferMDL, b.TransferBufferLength);
}

void pipeRequest(CapturedUrb& out, const sim::usb::BusDevice& device, const URB& urb) {
    const sim::usb::Pipe* pipe = device.findPipe(urb.UrbPipeRequest.PipeHandle);
    out.record.endpoint = pipe != nullptr ? pipe->endpointAddress : 0;
}

// The URB is readable as its function's record only when it is at least that long.
bool holds(const URB& urb, std::size_t bytes) {
    return urb.UrbHeader.Length >= bytes;
}

} // namespace

CapturedUrb captureUrb(const sim::usb::BusDevice& device, const URB& urb, PIRP irp,
                       bool completion) {
    CapturedUrb out;
    out.record.irpId = reinterpret_cast<std::uintptr_t>(irp);
    out.record.usbdStatus = completion ? static_cast<std::uint32_t>(urb.UrbHeader.Status) : 0;
    out.record.function = urb.UrbHeader.Function;
    out.record.completion = completion;
    out.record.device = static_cast<std::uint16_t>(device.portNumber());
    switch (urb.UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        if (holds(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)))
            descriptorRequest(out, urb, completion);
        break;
    case URB_FUNCTION_VENDOR_DEVICE:
        if (holds(urb, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)))
            vendorRequest(out, urb, completion);
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        if (holds(urb, sizeof(_URB_SELECT_CONFIGURATION)))
            selectConfiguration(out, urb, completion);
        break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        if (holds(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)))
            bulkTransfer(out, device, urb, completion);
        break;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
        if (holds(urb, sizeof(_URB_PIPE_REQUEST)))
            pipeRequest(out, device, urb);
        break;
    default:
        break;
    }
    return out;
}

} // namespace wdmusbsim
