// Vendor requests the driver must refuse: a record cut short and a data stage without a buffer
// (`bad-vendor records`: each fails with ERROR_INVALID_PARAMETER before anything reaches the bus),
// and buffers the application cannot hand over for the direction asked (`bad-vendor buffers`: on
// Windows the driver's probe fails them with ERROR_NOACCESS; Wine's probe checks nothing, so there
// they need only fail). The run checks from the bus's counts what was sent.
#include "tests/wine/harness/harness.h"

#include <winioctl.h>

#include <cstdio>

#include "public/wdmusb.h"

namespace harness {

namespace {

struct BadRequest {
    const wchar_t* what;
    DWORD recordBytes;
    DWORD protection; // of the buffer's page; 0: no buffer at all, PAGE_NOACCESS: freed again
    DWORD expected;   // 0: any failure
    bool buffer;      // a case of `buffers`, else of `records`
};

constexpr BadRequest kBadRequests[] = {
    {L"a record of 8 bytes", 8, PAGE_READWRITE, ERROR_INVALID_PARAMETER, false},
    {L"16 bytes in, buffer 0", sizeof(VENDOR_REQUEST), 0, ERROR_INVALID_PARAMETER, false},
    {L"16 bytes in, a freed buffer", sizeof(VENDOR_REQUEST), PAGE_NOACCESS, 0, true},
    {L"16 bytes in, a read-only buffer", sizeof(VENDOR_REQUEST), PAGE_READONLY, 0, true},
};

// The buffer's address for a case: a page of that protection, or one allocated and freed.
ULONG BufferFor(const BadRequest& bad) {
    if (bad.protection == 0)
        return 0;
    void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE,
                              bad.protection == PAGE_NOACCESS ? PAGE_READWRITE : bad.protection);
    if (page != nullptr && bad.protection == PAGE_NOACCESS)
        VirtualFree(page, 0, MEM_RELEASE);
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(page));
}

// 0 when the request failed with the error expected, else 1 (printed).
int Send(HANDLE device, const BadRequest& bad) {
    VENDOR_REQUEST record{};
    record.RequestType = 0xC0; // vendor, device to host
    record.Request = 1;
    record.Length = 16;
    record.Buffer = BufferFor(bad);
    DWORD returned = 0;
    const BOOL sent = DeviceIoControl(device, IOCTL_VENDOR_REQUEST, &record, bad.recordBytes,
                                      nullptr, 0, &returned, nullptr);
    const DWORD error = sent ? ERROR_SUCCESS : GetLastError();
    std::fwprintf(stdout, L"%ls: %ls\n", bad.what,
                  sent ? L"succeeded" : DescribeError(error).c_str());
    if (error == bad.expected || (bad.expected == 0 && !sent))
        return 0;
    std::fwprintf(stderr, L"FAIL: %ls: expected %ls\n", bad.what,
                  bad.expected == 0 ? L"a failure" : DescribeError(bad.expected).c_str());
    return 1;
}

} // namespace

int SendBadVendorRequests(const Arguments& args) {
    if (args.size() != 1 || (args[0] != L"records" && args[0] != L"buffers"))
        return Fail(L"bad-vendor takes 'records' or 'buffers'", ERROR_INVALID_PARAMETER);
    const bool buffers = args[0] == L"buffers";
    const std::vector<std::wstring> paths = PresentInterfaces();
    if (paths.empty())
        return Fail(L"no wdmusb interface present", ERROR_NOT_FOUND);
    const HANDLE device = CreateFileW(paths.front().c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return Fail(L"opening " + paths.front(), GetLastError());
    int failed = 0;
    for (const BadRequest& bad : kBadRequests)
        if (bad.buffer == buffers)
            failed += Send(device, bad);
    CloseHandle(device);
    return failed == 0 ? 0 : 1;
}

} // namespace harness
