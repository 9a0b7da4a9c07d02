#include "tests/wine/harness/harness.h"

#include <cstdio>

namespace harness {

std::wstring DescribeError(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = L"error " + std::to_wstring(error);
    wchar_t hex[16];
    std::swprintf(hex, 16, L" (0x%08lx)", static_cast<unsigned long>(error));
    message += hex;
    if (length > 0) {
        std::wstring system(text, length);
        while (!system.empty() && (system.back() == L'\n' || system.back() == L'\r'))
            system.pop_back();
        message += L": " + system;
    }
    LocalFree(text);
    return message;
}

int Fail(const std::wstring& what, DWORD error) {
    std::fwprintf(stderr, L"FAIL: %ls: %ls\n", what.c_str(), DescribeError(error).c_str());
    return 1;
}

} // namespace harness
