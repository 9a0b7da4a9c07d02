// SetupDiGetClassDevs, SetupDiEnumDeviceInterfaces, SetupDiGetDeviceInterfaceDetail and
// SetupDiDestroyDeviceInfoList over the Plug and Play manager's interface registry. A set is a
// snapshot taken when it is made, as the platform's is; a device path is the interface's symbolic
// link as user mode names it ("\\?\" instead of "\??\").
#include <cstddef>
#include <cstring>

#include "sim/app/device_access.h"
#include "sim/app/process.h"
#include "sim/core/system.h"
#include "sim/pnp/pnp_manager.h"

using sim::app::DeviceInfoSet;

namespace {

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The set and the member an interface record names (Reserved holds its index plus one).
const DeviceInfoSet::Interface* memberOf(const DeviceInfoSet& set,
                                         const SP_DEVICE_INTERFACE_DATA* data) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        data->Reserved == 0 || data->Reserved > set.interfaces.size())
        return nullptr;
    return &set.interfaces[data->Reserved - 1];
}

} // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(CONST GUID* ClassGuid, PCSTR, HWND, DWORD Flags) {
    if ((Flags & DIGCF_DEVICEINTERFACE) == 0 ||
        (ClassGuid == nullptr && (Flags & DIGCF_ALLCLASSES) == 0)) {
        SetLastError(ERROR_INVALID_PARAMETER); // only interface sets are modelled
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DeviceInfoSet>();
    for (const auto& i : sim::current().pnp().interfaces().all()) {
        if ((Flags & DIGCF_PRESENT) != 0 && !i.enabled)
            continue;
        if ((Flags & DIGCF_ALLCLASSES) == 0 && !(i.interfaceClass == *ClassGuid))
            continue;
        set->interfaces.push_back(
            {i.interfaceClass, sim::app::devicePathOfLink(i.link), i.enabled});
    }
    return sim::current().process().add(std::move(set));
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO infoSet, PSP_DEVINFO_DATA,
                                        CONST GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    auto set = sim::current().process().get<DeviceInfoSet>(infoSet);
    if (set == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return fail(ERROR_INVALID_USER_BUFFER);
    // The MemberIndex-th interface of the class asked for.
    DWORD seen = 0;
    for (std::size_t i = 0; i < set->interfaces.size(); ++i) {
        const auto& member = set->interfaces[i];
        if (!(member.interfaceClass == *InterfaceClassGuid) || seen++ != MemberIndex)
            continue;
        DeviceInterfaceData->InterfaceClassGuid = member.interfaceClass;
        DeviceInterfaceData->Flags = member.active ? SPINT_ACTIVE : 0;
        DeviceInterfaceData->Reserved = i + 1;
        return TRUE;
    }
    return fail(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO infoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA) {
    auto set = sim::current().process().get<DeviceInfoSet>(infoSet);
    if (set == nullptr)
        return fail(ERROR_INVALID_HANDLE);
    const auto* member = memberOf(*set, DeviceInterfaceData);
    if (member == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    const DWORD required = static_cast<DWORD>(
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + member->devicePath.size() + 1);
    if (RequiredSize != nullptr)
        *RequiredSize = required;
    if (DeviceInterfaceDetailData == nullptr) {
        if (DeviceInterfaceDetailDataSize != 0)
            return fail(ERROR_INVALID_PARAMETER);
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return fail(ERROR_INVALID_USER_BUFFER);
    if (DeviceInterfaceDetailDataSize < required)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(DeviceInterfaceDetailData->DevicePath, member->devicePath.c_str(),
                member->devicePath.size() + 1);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO infoSet) {
    auto set = sim::current().process().get<DeviceInfoSet>(infoSet);
    if (set == nullptr || !sim::current().process().remove(infoSet))
        return fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

} // extern "C"
