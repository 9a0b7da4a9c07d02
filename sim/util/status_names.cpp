#include "sim/util/status_names.h"

#include <cstdio>

namespace sim {

std::string statusName(NTSTATUS status) {
    switch (status) {
#define NAME(code)                                                                                 \
    case code:                                                                                     \
        return #code;
        NAME(STATUS_SUCCESS)
        NAME(STATUS_TIMEOUT)
        NAME(STATUS_PENDING)
        NAME(STATUS_UNSUCCESSFUL)
        NAME(STATUS_NOT_IMPLEMENTED)
        NAME(STATUS_ACCESS_VIOLATION)
        NAME(STATUS_INVALID_HANDLE)
        NAME(STATUS_INVALID_PARAMETER)
        NAME(STATUS_NO_SUCH_DEVICE)
        NAME(STATUS_INVALID_DEVICE_REQUEST)
        NAME(STATUS_MORE_PROCESSING_REQUIRED)
        NAME(STATUS_ACCESS_DENIED)
        NAME(STATUS_BUFFER_TOO_SMALL)
        NAME(STATUS_OBJECT_NAME_NOT_FOUND)
        NAME(STATUS_OBJECT_NAME_COLLISION)
        NAME(STATUS_DELETE_PENDING)
        NAME(STATUS_INSUFFICIENT_RESOURCES)
        NAME(STATUS_DEVICE_DATA_ERROR)
        NAME(STATUS_DEVICE_NOT_CONNECTED)
        NAME(STATUS_NOT_SUPPORTED)
        NAME(STATUS_IO_TIMEOUT)
        NAME(STATUS_CANCELLED)
        NAME(STATUS_INVALID_DEVICE_STATE)
        NAME(STATUS_DEVICE_BUSY)
        NAME(STATUS_NAME_TOO_LONG)
#undef NAME
    default:
        break;
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status));
    return hex;
}

} // namespace sim
