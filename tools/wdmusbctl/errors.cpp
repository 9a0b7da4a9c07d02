#include "tools/wdmusbctl/errors.h"

#include "tools/wdmusbctl/win32_api.h"

namespace wdmusbctl {

namespace {

struct ErrorText {
    std::uint32_t error;
    const char* name;
    const char* text;
    Exit exit;
};

// The errors the platform gives for what the driver and the bus answer, and what they mean to
// someone holding the device.
constexpr ErrorText kErrors[] = {
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND", "no such device", Exit::NoDevice},
    {433, "ERROR_NO_SUCH_DEVICE", "the device does not exist (any more)", Exit::Removed},
    {ERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED", "the device is not connected",
     Exit::Removed},
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED",
     "access denied (the device is being removed, or not yours to open)", Exit::Removed},
    {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE",
     "the handle is no longer valid (the device was restarted): open it again", Exit::Removed},
    {ERROR_BUSY, "ERROR_BUSY", "the device is busy: another read or write is in flight",
     Exit::Busy},
    {ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES",
     "the device is in use by another handle, or the system ran out of resources", Exit::Busy},
    {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE",
     "the device did not do what was asked (a stall or a failed transfer)", Exit::DeviceError},
    {ERROR_IO_DEVICE, "ERROR_IO_DEVICE", "the device reported an I/O error", Exit::DeviceError},
    {ERROR_CRC, "ERROR_CRC",
     "part of the transfer failed while the device moved data after it (a write left a gap at "
     "the device, a read lost data)",
     Exit::DeviceError},
    {ERROR_SEM_TIMEOUT, "ERROR_SEM_TIMEOUT", "the device did not answer in time",
     Exit::DeviceError},
    {ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED", "the request was cancelled",
     Exit::DeviceError},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER",
     "the driver refused the request's parameters", Exit::DeviceError},
    {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION", "the driver does not handle this request",
     Exit::DeviceError},
    {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED", "the request is not supported", Exit::DeviceError},
    {ERROR_BAD_COMMAND, "ERROR_BAD_COMMAND", "the device is not in a state to do that",
     Exit::DeviceError},
    {ERROR_NOACCESS, "ERROR_NOACCESS", "the driver could not use the buffer", Exit::DeviceError},
    {ERROR_MORE_DATA, "ERROR_MORE_DATA", "more data than the buffer holds", Exit::DeviceError},
    {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY", "not enough memory", Exit::DeviceError},
    {ERROR_NOT_READY, "ERROR_NOT_READY", "the device is not ready", Exit::DeviceError},
};

const ErrorText* find(std::uint32_t error) {
    for (const ErrorText& entry : kErrors)
        if (entry.error == error)
            return &entry;
    return nullptr;
}

} // namespace

std::string describeError(std::uint32_t error) {
    const ErrorText* entry = find(error);
    if (entry == nullptr)
        return "error " + std::to_string(error);
    return std::string(entry->text) + " (" + entry->name + ", " + std::to_string(error) + ")";
}

Exit exitFor(std::uint32_t error) {
    const ErrorText* entry = find(error);
    return entry != nullptr ? entry->exit : Exit::DeviceError;
}

Failure::Failure(const std::string& what, std::uint32_t error, Exit exit)
    : std::runtime_error(what), error_(error), exit_(exit) {}

void failWithLastError(const std::string& doing) {
    const std::uint32_t error = GetLastError();
    throw Failure(doing + ": " + describeError(error), error, exitFor(error));
}

} // namespace wdmusbctl
