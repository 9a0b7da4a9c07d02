// VirtualAlloc, VirtualFree and VirtualProtect: committed regions of the application's user
// address space, host-visible so that the application uses their addresses directly and can hand
// them to a driver inside a request record.
#include "sim/app/process.h"
#include "sim/core/system.h"
#include "sim/memory/user_space.h"

namespace {

using Protection = sim::UserAddressSpace::Protection;

// PAGE_READWRITE or PAGE_READONLY: whether the region is writable; nothing for other protections.
std::optional<bool> writableFor(DWORD protection) {
    if (protection == PAGE_READWRITE)
        return true;
    if (protection == PAGE_READONLY)
        return false;
    return std::nullopt;
}

// The protections VirtualProtect takes: the two above and PAGE_NOACCESS.
std::optional<Protection> protectionFor(DWORD protection) {
    if (protection == PAGE_NOACCESS)
        return Protection::NoAccess;
    if (const auto writable = writableFor(protection))
        return *writable ? Protection::ReadWrite : Protection::ReadOnly;
    return std::nullopt;
}

DWORD pageProtection(Protection protection) {
    switch (protection) {
    case Protection::NoAccess:
        return PAGE_NOACCESS;
    case Protection::ReadOnly:
        return PAGE_READONLY;
    case Protection::ReadWrite:
        break;
    }
    return PAGE_READWRITE;
}

} // namespace

extern "C" {

LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType,
                           DWORD flProtect) {
    const auto writable = writableFor(flProtect);
    if (lpAddress != nullptr || (flAllocationType & MEM_COMMIT) == 0 || !writable || dwSize == 0) {
        SetLastError(ERROR_INVALID_PARAMETER); // only fresh committed regions are modelled
        return nullptr;
    }
    void* region = sim::current().userSpace().mapHostVisible(dwSize, *writable);
    if (region == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return region;
}

BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
    sim::UserAddressSpace& space = sim::current().userSpace();
    if (dwFreeType != MEM_RELEASE || dwSize != 0 || !space.isHostVisible(lpAddress, 1) ||
        !space.unmap(lpAddress)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI VirtualProtect(LPVOID lpAddress, SIZE_T, DWORD flNewProtect, PDWORD lpflOldProtect) {
    const auto protection = protectionFor(flNewProtect);
    sim::UserAddressSpace& space = sim::current().userSpace();
    const auto old = space.protection(lpAddress);
    if (!protection || !old || !space.protect(lpAddress, *protection)) {
        SetLastError(ERROR_INVALID_PARAMETER); // whole regions only, from their base
        return FALSE;
    }
    if (lpflOldProtect != nullptr)
        *lpflOldProtect = pageProtection(*old);
    return TRUE;
}

} // extern "C"
