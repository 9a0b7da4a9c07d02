#include "tools/wdmusbctl/errors.h"

#include "tools/wdmusbctl/win32_api.h"

namespace wdmusbctl {

namespace {

struct ExitFor {
    WdmusbCall call; // WdmusbCallAny: whatever the call
    std::uint32_t error;
    Exit exit;
};

// The exit statuses that are not Exit::DeviceError; the first match wins.
constexpr ExitFor kExits[] = {
    {WdmusbCallAny, ERROR_FILE_NOT_FOUND, Exit::NoDevice},
    {WdmusbCallAny, ERROR_NO_MORE_ITEMS, Exit::NoDevice},
    {WdmusbCallAny, 433, Exit::Removed}, // ERROR_NO_SUCH_DEVICE
    {WdmusbCallAny, ERROR_DEVICE_NOT_CONNECTED, Exit::Removed},
    {WdmusbCallAny, ERROR_ACCESS_DENIED, Exit::Removed},
    // At the open: the driver refused it though the system gave a handle (another holds it).
    {WdmusbCallOpen, ERROR_INVALID_HANDLE, Exit::Busy},
    {WdmusbCallAny, ERROR_INVALID_HANDLE, Exit::Removed},
    {WdmusbCallAny, ERROR_BUSY, Exit::Busy},
    {WdmusbCallOpen, ERROR_NO_SYSTEM_RESOURCES, Exit::Busy},
};

} // namespace

std::string describeError(WdmusbCall call, std::uint32_t error) {
    const char* name = WdmusbErrorName(error);
    return std::string(WdmusbErrorMessage(call, error)) + " (" +
           (name != nullptr ? std::string(name) + ", " : std::string("error ")) +
           std::to_string(error) + ")";
}

Exit exitFor(WdmusbCall call, std::uint32_t error) {
    for (const ExitFor& entry : kExits)
        if (entry.error == error && (entry.call == call || entry.call == WdmusbCallAny))
            return entry.exit;
    return Exit::DeviceError;
}

std::string movedBefore(WdmusbCall call, std::uint32_t moved) {
    if (moved == 0 || (call != WdmusbCallRead && call != WdmusbCallWrite))
        return "";
    return "; " + std::to_string(moved) + (moved == 1 ? " byte had" : " bytes had") + " been " +
           (call == WdmusbCallRead ? "read" : "written") + " before it ended";
}

Failure::Failure(const std::string& what, std::uint32_t error, Exit exit)
    : std::runtime_error(what), error_(error), exit_(exit) {}

void fail(WdmusbCall call, const std::string& doing, std::uint32_t error) {
    throw Failure(doing + ": " + describeError(call, error), error, exitFor(call, error));
}

} // namespace wdmusbctl
