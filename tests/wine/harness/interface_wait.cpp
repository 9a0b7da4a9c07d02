// Finding the driver's device the way an application does: the present devices of the wdmusb
// interface class, enumerated with the setup API.
#include "tests/wine/harness/harness.h"

#include <setupapi.h>

#include <cstdio>

#include "public/wdmusb.h"

namespace harness {

// The device paths of the present interfaces of the class.
std::vector<std::wstring> PresentInterfaces() {
    std::vector<std::wstring> paths;
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_WDMUSB, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA data = {sizeof(data)};
    for (DWORD i = 0;
         SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_WDMUSB, i, &data); ++i) {
        DWORD bytes = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &bytes, nullptr);
        std::vector<BYTE> buffer(bytes);
        auto detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(*detail);
        if (bytes > 0 &&
            SetupDiGetDeviceInterfaceDetailW(set, &data, detail, bytes, nullptr, nullptr))
            paths.emplace_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

namespace {

bool ParseSeconds(const Arguments& args, DWORD* seconds) {
    if (args.size() != 1)
        return false;
    *seconds = static_cast<DWORD>(_wtoi(args[0].c_str()));
    return *seconds > 0;
}

// Polls until the presence of an interface is as wanted, or the time is up.
int WaitFor(const Arguments& args, bool present) {
    DWORD seconds = 0;
    if (!ParseSeconds(args, &seconds))
        return Fail(L"the wait needs a positive number of SECONDS", ERROR_INVALID_PARAMETER);
    const ULONGLONG deadline = GetTickCount64() + seconds * 1000ull;
    for (;;) {
        const std::vector<std::wstring> paths = PresentInterfaces();
        if (!paths.empty() == present) {
            for (const auto& path : paths)
                std::fwprintf(stdout, L"interface present: %ls\n", path.c_str());
            if (!present)
                std::fwprintf(stdout, L"no wdmusb interface present\n");
            return 0;
        }
        if (GetTickCount64() >= deadline)
            break;
        Sleep(100);
    }
    std::fwprintf(stderr, L"FAIL: %ls wdmusb interface after %lu s\n", present ? L"no" : L"still a",
                  static_cast<unsigned long>(seconds));
    return 1;
}

} // namespace

int WaitForInterface(const Arguments& args) {
    return WaitFor(args, true);
}

int WaitForNoInterface(const Arguments& args) {
    return WaitFor(args, false);
}

} // namespace harness
