// Finding the driver's device the way an application does: the present devices of the wdmusb
// interface class, enumerated by the application library.
#include "tests/wine/harness/harness.h"

#include <cstdio>
#include <cstring>

#include "public/wdmusb_api.h"

namespace harness {

// The device paths of the present interfaces of the class, as the application library finds them.
std::vector<std::wstring> PresentInterfaces() {
    std::vector<std::wstring> paths;
    char path[1024]; // device paths are far shorter
    for (uint32_t i = 0; WdmusbGetDevicePath(i, path, sizeof path, nullptr) == ERROR_SUCCESS; ++i)
        paths.emplace_back(path, path + std::strlen(path)); // ASCII
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
