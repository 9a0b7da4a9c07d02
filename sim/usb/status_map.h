// The IRP status the bus gives a URB that ended with a USB status, as the platform's USB stack
// maps them; and the USB statuses it uses that the platform header leaves out.
#pragma once

#include "platform/host/host_platform.h"

namespace sim::usb {

constexpr USBD_STATUS kUsbdInsufficientResources = static_cast<USBD_STATUS>(0xC0001000L);
// A select-configuration refused for an endpoint the host controller cannot schedule, or for
// periodic endpoints that do not fit in a frame together.
constexpr USBD_STATUS kUsbdBadEndpointDescriptor = static_cast<USBD_STATUS>(0xC0100004L);
constexpr USBD_STATUS kUsbdNoBandwidth = static_cast<USBD_STATUS>(0x80000700L);
// What a request to a suspended device (D1-D3) ends with.
constexpr NTSTATUS kStatusDevicePoweredOff = static_cast<NTSTATUS>(0x8000000FL);

constexpr NTSTATUS ntStatusFor(USBD_STATUS usb) {
    switch (usb) {
    case USBD_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
        return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case kUsbdInsufficientResources:
    case kUsbdNoBandwidth:
        return STATUS_INSUFFICIENT_RESOURCES;
    case kUsbdBadEndpointDescriptor:
        return STATUS_INVALID_PARAMETER;
    default:
        return USBD_SUCCESS(usb) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
}

} // namespace sim::usb
