#include "tests/support/application.h"

#include <vector>

namespace wdmusb::test {

std::vector<std::string> devicePaths(const GUID& interfaceClass) {
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, i, &data); ++i) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
        std::vector<char> storage(required);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr))
            paths.emplace_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

AppHandle openDevice(const GUID& interfaceClass, DWORD flags, std::size_t index) {
    const auto paths = devicePaths(interfaceClass);
    if (index >= paths.size()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return AppHandle(INVALID_HANDLE_VALUE);
    }
    return AppHandle(CreateFileA(paths[index].c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, flags, nullptr));
}

} // namespace wdmusb::test
