#include "tools/wdmusb-sim/scenario/device_report.h"

#include <cstdio>

#include "driver/shared_flag.h"

namespace wdmusbsim {

namespace {

std::string bcd(unsigned value) { // 0x0200 -> "2.00"
    char text[16];
    std::snprintf(text, sizeof text, "%x.%02x", value >> 8, value & 0xFF);
    return text;
}

const char* pipeTypeName(USBD_PIPE_TYPE type) {
    switch (type) {
    case UsbdPipeTypeControl:
        return "control";
    case UsbdPipeTypeIsochronous:
        return "isochronous";
    case UsbdPipeTypeBulk:
        return "bulk";
    case UsbdPipeTypeInterrupt:
        return "interrupt";
    }
    return "?";
}

} // namespace

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

std::string narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

void describeConfiguration(Account& account, PDEVICE_EXTENSION ext) {
    if (const PUSB_DEVICE_DESCRIPTOR d = ext->DeviceDescriptor)
        account.detail("device descriptor",
                       "VID " + hex(d->idVendor, 4) + "  PID " + hex(d->idProduct, 4) + "  USB " +
                           bcd(d->bcdUSB) + "  EP0 " + std::to_string(d->bMaxPacketSize0) +
                           "  configs " + std::to_string(d->bNumConfigurations));
    if (const PUSB_CONFIGURATION_DESCRIPTOR c = ext->ConfigurationDescriptor)
        account.detail("configuration descriptor",
                       std::to_string(c->wTotalLength) + " bytes  value " +
                           std::to_string(c->bConfigurationValue) + "  interfaces " +
                           std::to_string(c->bNumInterfaces) + "  " +
                           std::to_string(2 * c->MaxPower) + " mA");
    const PUSBD_INTERFACE_INFORMATION info = ext->InterfaceInformation;
    if (info == nullptr)
        return;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
        const USBD_PIPE_INFORMATION& pipe = info->Pipes[i];
        const bool in = (pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
        account.detail("pipe " + std::to_string(i),
                       "0x" + hex(pipe.EndpointAddress, 2) + (in ? " IN   " : " OUT  ") +
                           pipeTypeName(pipe.PipeType) + "  packet " +
                           std::to_string(pipe.MaximumPacketSize) + "  transfer " +
                           std::to_string(pipe.MaximumTransferSize));
    }
}

std::string describeFlags(PDEVICE_EXTENSION ext, bool accepting) {
    std::string out;
    const auto add = [&](bool on, const char* name) {
        if (on)
            out += (out.empty() ? "" : ", ") + std::string(name);
    };
    add(ReadShared(ext->Started) != FALSE, "started");
    add(ReadShared(ext->StopPending) != FALSE, "stop pending");
    add(ReadShared(ext->RemovePending) != FALSE, "remove pending");
    add(ReadShared(ext->Removed) != FALSE, "removed");
    add(accepting, "accepting requests");
    return out.empty() ? "none" : out;
}

} // namespace wdmusbsim
