// wine-harness.exe COMMAND ARGUMENTS...: see usage() below.
#include "tests/wine/harness/harness.h"

#include <cstdio>
#include <cwchar>

namespace {

int Usage() {
    std::fputws(L"usage: wine-harness install-root INF HARDWARE_ID\n"
                L"       wine-harness update-driver INF HARDWARE_ID\n"
                L"       wine-harness wait-interface SECONDS\n"
                L"       wine-harness wait-no-interface SECONDS\n"
                L"       wine-harness bus unplug|plug|disable-port|counts\n"
                L"       wine-harness bus fault none|fail|short|corrupt in|out BYTES\n"
                L"       wine-harness bad-vendor records|buffers\n",
                stderr);
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2)
        return Usage();
    const std::wstring command = argv[1];
    const harness::Arguments args(argv + 2, argv + argc);
    if (command == L"install-root")
        return harness::InstallRootDevice(args);
    if (command == L"update-driver")
        return harness::UpdateDriver(args);
    if (command == L"wait-interface")
        return harness::WaitForInterface(args);
    if (command == L"wait-no-interface")
        return harness::WaitForNoInterface(args);
    if (command == L"bus")
        return harness::ControlBus(args);
    if (command == L"bad-vendor")
        return harness::SendBadVendorRequests(args);
    return Usage();
}
