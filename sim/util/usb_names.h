// Readable names of USB bus codes: USBD status values and URB function codes, for reports,
// traces and captures, and the way back from a name to its code, for tools that read them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/host_platform.h"

namespace sim {

// "USBD_STATUS_STALL_PID", or "0xC0000004" style hex for a value without a name here.
std::string usbdStatusName(USBD_STATUS status);
std::optional<USBD_STATUS> usbdStatusFromName(std::string_view name);
std::vector<std::string_view> usbdStatusNames();

// "URB_FUNCTION_SELECT_CONFIGURATION", or "URB_FUNCTION_0x0042" for a code without a name here.
std::string urbFunctionName(USHORT function);
std::optional<USHORT> urbFunctionFromName(std::string_view name);
std::vector<std::string_view> urbFunctionNames();

} // namespace sim
