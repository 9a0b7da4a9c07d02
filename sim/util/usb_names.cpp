#include "sim/util/usb_names.h"

#include "sim/usb/status_map.h"
#include "sim/util/code_table.h"

namespace sim {

namespace {

constexpr auto kUsbdStatuses = makeCodeTable<USBD_STATUS>(
    NAMED_CODE(USBD_STATUS_SUCCESS), NAMED_CODE(USBD_STATUS_PENDING),
    NAMED_CODE(USBD_STATUS_STALL_PID), NAMED_CODE(USBD_STATUS_DEV_NOT_RESPONDING),
    NAMED_CODE(USBD_STATUS_DATA_UNDERRUN), NAMED_CODE(USBD_STATUS_BUFFER_OVERRUN),
    NAMED_CODE(USBD_STATUS_INVALID_URB_FUNCTION), NAMED_CODE(USBD_STATUS_INVALID_PARAMETER),
    NAMED_CODE(USBD_STATUS_INVALID_PIPE_HANDLE), NAMED_CODE(USBD_STATUS_ERROR_SHORT_TRANSFER),
    NAMED_CODE(USBD_STATUS_CANCELED), NAMED_CODE(USBD_STATUS_DEVICE_GONE),
    std::pair<long long, std::string_view>(usb::kUsbdInsufficientResources,
                                           "USBD_STATUS_INSUFFICIENT_RESOURCES"),
    std::pair<long long, std::string_view>(usb::kUsbdBadEndpointDescriptor,
                                           "USBD_STATUS_BAD_ENDPOINT_DESCRIPTOR"),
    std::pair<long long, std::string_view>(usb::kUsbdNoBandwidth, "USBD_STATUS_NO_BANDWIDTH"));

constexpr auto kUrbFunctions = makeCodeTable<USHORT>(
    NAMED_CODE(URB_FUNCTION_SELECT_CONFIGURATION), NAMED_CODE(URB_FUNCTION_SELECT_INTERFACE),
    NAMED_CODE(URB_FUNCTION_ABORT_PIPE), NAMED_CODE(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER),
    NAMED_CODE(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE), NAMED_CODE(URB_FUNCTION_VENDOR_DEVICE),
    NAMED_CODE(URB_FUNCTION_RESET_PIPE));

} // namespace

std::string usbdStatusName(USBD_STATUS status) {
    if (auto name = kUsbdStatuses.name(status))
        return std::string(*name);
    return hexCode(static_cast<std::uint32_t>(status));
}

std::optional<USBD_STATUS> usbdStatusFromName(std::string_view name) {
    return kUsbdStatuses.code(name);
}

std::vector<std::string_view> usbdStatusNames() {
    return kUsbdStatuses.names();
}

std::string urbFunctionName(USHORT function) {
    if (auto name = kUrbFunctions.name(function))
        return std::string(*name);
    return hexCode(function, 4, "URB_FUNCTION_0x");
}

std::optional<USHORT> urbFunctionFromName(std::string_view name) {
    return kUrbFunctions.code(name);
}

std::vector<std::string_view> urbFunctionNames() {
    return kUrbFunctions.names();
}

} // namespace sim
