// Installing a driver package the way a device installation program does: a root-enumerated
// device created with the setup API, given its hardware ID and registered, then the INF's driver
// installed for every present device with that hardware ID.
#include "tests/wine/harness/harness.h"

#include <setupapi.h>
#include <newdev.h>

#include <cstdio>

namespace harness {

namespace {

// kClassNameChars of the platform's setup API, which mingw-w64's header leaves out.
constexpr DWORD kClassNameChars = 32;

// A multi-string of one string: the text, its zero, and the list's zero.
std::vector<BYTE> MultiString(const std::wstring& text) {
    std::vector<BYTE> bytes((text.size() + 2) * sizeof(wchar_t), 0);
    std::copy(text.begin(), text.end(), reinterpret_cast<wchar_t*>(bytes.data()));
    return bytes;
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(full) : path;
}

int InstallDriverFor(const std::wstring& inf, const std::wstring& hardwareId) {
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId.c_str(), inf.c_str(),
                                            INSTALLFLAG_FORCE, &reboot))
        return Fail(L"UpdateDriverForPlugAndPlayDevices(" + hardwareId + L", " + inf + L")",
                    GetLastError());
    std::fwprintf(stdout, L"installed %ls for %ls%ls\n", inf.c_str(), hardwareId.c_str(),
                  reboot ? L" (the system asks for a restart)" : L"");
    return 0;
}

} // namespace

int InstallRootDevice(const Arguments& args) {
    if (args.size() != 2)
        return Fail(L"install-root needs INF and HARDWARE_ID", ERROR_INVALID_PARAMETER);
    const std::wstring inf = FullPath(args[0]);
    const std::wstring& hardwareId = args[1];

    GUID classGuid;
    wchar_t className[kClassNameChars];
    if (!SetupDiGetINFClassW(inf.c_str(), &classGuid, className, kClassNameChars, nullptr))
        return Fail(L"SetupDiGetINFClass(" + inf + L")", GetLastError());

    HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return Fail(L"SetupDiCreateDeviceInfoList", GetLastError());
    SP_DEVINFO_DATA device = {sizeof(device)};
    const std::vector<BYTE> ids = MultiString(hardwareId);
    int result = 0;
    if (!SetupDiCreateDeviceInfoW(set, className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID,
                                  &device))
        result = Fail(L"SetupDiCreateDeviceInfo", GetLastError());
    else if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, ids.data(),
                                                static_cast<DWORD>(ids.size())))
        result = Fail(L"SetupDiSetDeviceRegistryProperty(SPDRP_HARDWAREID)", GetLastError());
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
        result = Fail(L"SetupDiCallClassInstaller(DIF_REGISTERDEVICE)", GetLastError());
    SetupDiDestroyDeviceInfoList(set);
    if (result != 0)
        return result;
    std::fwprintf(stdout, L"root device of class %ls registered with %ls\n", className,
                  hardwareId.c_str());
    return InstallDriverFor(inf, hardwareId);
}

int UpdateDriver(const Arguments& args) {
    if (args.size() != 2)
        return Fail(L"update-driver needs INF and HARDWARE_ID", ERROR_INVALID_PARAMETER);
    return InstallDriverFor(FullPath(args[0]), args[1]);
}

} // namespace harness
