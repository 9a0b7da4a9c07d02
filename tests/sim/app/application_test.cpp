// The application side: finding and opening a device, the requests its calls send as the I/O
// manager builds them, synchronous and overlapped completion, cancellation, closing, and the
// Win32 errors an application sees.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "sim/app/status_errors.h"
#include "sim/memory/user_space.h"
#include "tests/sim/app/app_fixture.h"

namespace wdmusb::test {
namespace {

// Each request of the device fills (read) or checks (write) its buffer with 0, 1, 2, ... and
// completes with `moved` bytes.
IrpHandler patternedTransfers(ULONG moved, std::vector<std::uint8_t>* written = nullptr) {
    return [moved, written](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        auto* bytes = static_cast<std::uint8_t*>(
            irp->MdlAddress != nullptr
                ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                : irp->AssociatedIrp.SystemBuffer);
        const ULONG count = bytes != nullptr ? std::min(moved, stack->Parameters.Read.Length) : 0;
        if (stack->MajorFunction == IRP_MJ_READ)
            std::iota(bytes, bytes + count, std::uint8_t{0});
        else if (written != nullptr)
            written->assign(bytes, bytes + count);
        return ApplicationTest::complete(irp, STATUS_SUCCESS, count);
    };
}

TEST_F(ApplicationTest, FindsEnabledInterfacesAndOpensThemByTheirPath) {
    makeDevice(patternedTransfers(0), DO_DIRECT_IO, false); // registered, never enabled
    makeDevice(patternedTransfers(0));
    HDEVINFO set = SetupDiGetClassDevsA(&kAppTestClass, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kAppTestClass, 0, &data));
    EXPECT_EQ(data.Flags, DWORD{SPINT_ACTIVE});
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kAppTestClass, 1, &data));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_MORE_ITEMS});

    // The platform's two calls: the size first, then the path.
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
    std::vector<char> storage(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
    detail->cbSize = required; // a common mistake: the buffer's size
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_USER_BUFFER});
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(std::string(detail->DevicePath).rfind("\\\\?\\ROOT#SIMULATED#", 0), 0u);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

    HANDLE handle = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(handle));
    const auto seen = arrivals();
    ASSERT_EQ(majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_TRUE(seen[0].file == seen[1].file && seen[1].file == seen[2].file);
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(
        CreateFileA("\\\\?\\ROOT#NOTHING#0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
}

// Direct I/O: the driver gets an MDL of the application's user-space buffer, locked; a buffer
// from VirtualAlloc is that buffer itself, any other memory goes through one of the user space.
TEST_F(ApplicationTest, DirectIoHandsTheDriverALockedMdlOfTheBuffer) {
    std::vector<std::uint8_t> written;
    makeDevice(patternedTransfers(100, &written));
    AppHandle device = openDevice(kAppTestClass);
    for (const bool virtualAlloc : {false, true}) {
        SCOPED_TRACE(virtualAlloc ? "VirtualAlloc buffer" : "heap buffer");
        std::vector<std::uint8_t> heap(128, 0xEE);
        auto* buffer =
            virtualAlloc
                ? static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 128, MEM_COMMIT, PAGE_READWRITE))
                : heap.data();
        std::memset(buffer, 0xEE, 128);
        DWORD moved = 0;
        ASSERT_TRUE(ReadFile(device.get(), buffer, 128, &moved, nullptr));
        EXPECT_EQ(moved, 100u);
        EXPECT_EQ(buffer[99], 99);
        EXPECT_EQ(buffer[100], 0xEE) << "only the bytes moved come back";
        ASSERT_TRUE(WriteFile(device.get(), buffer, 100, &moved, nullptr));
        EXPECT_EQ(written, std::vector<std::uint8_t>(buffer, buffer + 100));
        EXPECT_EQ(arrivals().back().length, 100u);
        EXPECT_TRUE(arrivals().back().hasMdl);
        if (virtualAlloc)
            VirtualFree(buffer, 0, MEM_RELEASE);
    }
    EXPECT_TRUE(ReadFile(device.get(), nullptr, 0, nullptr, nullptr));
    EXPECT_FALSE(arrivals().back().hasMdl) << "nothing to describe in a read of 0 bytes";
}

TEST_F(ApplicationTest, ABufferThatCannotBeLockedIsRefusedBeforeAnythingIsSent) {
    makeDevice(patternedTransfers(16));
    AppHandle device = openDevice(kAppTestClass);
    void* readOnly = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READONLY);
    const std::size_t before = arrivals().size();
    DWORD moved = 7;
    EXPECT_FALSE(ReadFile(device.get(), readOnly, 16, &moved, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOACCESS});
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(arrivals().size(), before);
    EXPECT_TRUE(WriteFile(device.get(), readOnly, 16, &moved, nullptr)) << "read access suffices";
    VirtualFree(readOnly, 0, MEM_RELEASE);
}

// Buffered control codes: the input is copied in; the output is copied back for the information
// length only, unless the request failed; a warning still returns its bytes.
TEST_F(ApplicationTest, BufferedControlCopiesTheInputInAndTheInformationLengthOut) {
    struct Case {
        NTSTATUS status;
        ULONG information;
        BOOL result;
        DWORD error;
        DWORD returned;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, 6, TRUE, ERROR_SUCCESS, 6},
        {STATUS_BUFFER_OVERFLOW, 8, FALSE, ERROR_MORE_DATA, 8},
        {STATUS_INVALID_PARAMETER, 8, FALSE, ERROR_INVALID_PARAMETER, 0},
    };
    NTSTATUS status = STATUS_SUCCESS;
    ULONG information = 0;
    std::vector<std::uint8_t> input;
    makeDevice([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        auto* system = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        input.assign(system, system + stack->Parameters.DeviceIoControl.InputBufferLength);
        std::memset(system, 0x42, 8);
        return complete(irp, status, information);
    });
    AppHandle device = openDevice(kAppTestClass);
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE("status " + std::to_string(c.status));
        status = c.status;
        information = c.information;
        std::uint8_t in[3] = {1, 2, 3};
        std::vector<std::uint8_t> out(8, 0xEE);
        DWORD returned = 99;
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(DeviceIoControl(device.get(), code, in, 3, out.data(), 8, &returned, nullptr),
                  c.result);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(returned, c.returned);
        EXPECT_EQ(input, (std::vector<std::uint8_t>{1, 2, 3}));
        for (std::size_t i = 0; i < out.size(); ++i)
            EXPECT_EQ(out[i], i < c.returned ? 0x42 : 0xEE) << "byte " << i;
    }
}

TEST_F(ApplicationTest, GetLastErrorIsThePlatformsTranslationOfTheStatus) {
    const std::pair<NTSTATUS, DWORD> cases[] = {
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_DEVICE_BUSY, ERROR_BUSY},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {static_cast<NTSTATUS>(0xC0001234L), ERROR_MR_MID_NOT_FOUND},
    };
    NTSTATUS status = STATUS_SUCCESS;
    makeDevice([&](PDEVICE_OBJECT, PIRP irp) { return complete(irp, status); });
    AppHandle device = openDevice(kAppTestClass);
    std::uint8_t buffer[4];
    for (const auto& [failure, error] : cases) {
        status = failure;
        EXPECT_FALSE(ReadFile(device.get(), buffer, 4, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), error) << std::hex << failure;
        EXPECT_EQ(sim::app::win32ErrorFor(failure), error);
    }
}

// An overlapped request the driver pends: ERROR_IO_PENDING at once, ERROR_IO_INCOMPLETE from a
// look that does not wait, then its event and its result. One the driver fails at once is only
// an error: the OVERLAPPED and the event are left alone.
TEST_F(ApplicationTest, OverlappedRequestsPendThenEndThroughTheirEvent) {
    bool failAtOnce = false;
    auto hold = holdRequests();
    makeDevice([&](PDEVICE_OBJECT d, PIRP irp) {
        return failAtOnce ? complete(irp, STATUS_INVALID_PARAMETER) : hold(d, irp);
    });
    AppHandle device = openDevice(kAppTestClass, FILE_FLAG_OVERLAPPED);
    AppHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.get();
    std::uint8_t buffer[64];
    EXPECT_FALSE(ReadFile(device.get(), buffer, 64, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_PENDING});
    DWORD moved = 0;
    EXPECT_FALSE(GetOverlappedResult(device.get(), &overlapped, &moved, FALSE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_INCOMPLETE});
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), DWORD{WAIT_TIMEOUT});

    completeHeld(STATUS_SUCCESS, 10);
    EXPECT_EQ(WaitForSingleObject(event.get(), INFINITE), DWORD{WAIT_OBJECT_0});
    EXPECT_TRUE(GetOverlappedResult(device.get(), &overlapped, &moved, TRUE));
    EXPECT_EQ(moved, 10u);

    failAtOnce = true;
    ResetEvent(event.get());
    EXPECT_FALSE(ReadFile(device.get(), buffer, 64, nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(overlapped.Internal, static_cast<ULONG_PTR>(STATUS_PENDING));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), DWORD{WAIT_TIMEOUT});
}

// CancelIo cancels the calling thread's requests on the handle, no other thread's; a request
// whose driver set no cancel routine is not shortened at all.
std::atomic<int> cancelled{0};

void NTAPI countCancel(PDEVICE_OBJECT, PIRP cancelledIrp) {
    IoReleaseCancelSpinLock(cancelledIrp->CancelIrql);
    ++cancelled;
}

TEST_F(ApplicationTest, CancelIoCancelsOnlyTheCallingThreadsRequests) {
    cancelled = 0;
    auto hold = holdRequests();
    makeDevice([&](PDEVICE_OBJECT d, PIRP irp) {
        IoSetCancelRoutine(irp, countCancel);
        return hold(d, irp);
    });
    AppHandle device = openDevice(kAppTestClass, FILE_FLAG_OVERLAPPED);
    std::uint8_t mine[8], theirs[8];
    OVERLAPPED first{}, second{};
    EXPECT_FALSE(ReadFile(device.get(), mine, 8, nullptr, &first));
    std::thread([&] { EXPECT_FALSE(ReadFile(device.get(), theirs, 8, nullptr, &second)); }).join();
    ASSERT_EQ(heldCount(), 2u);
    EXPECT_TRUE(CancelIo(device.get()));
    EXPECT_EQ(cancelled.load(), 1);
    for (int i = 0; i < 2; ++i) // the driver ends both: the first as cancelled
        completeHeld(i == 0 ? STATUS_CANCELLED : STATUS_SUCCESS);
    DWORD moved = 0;
    EXPECT_FALSE(GetOverlappedResult(device.get(), &first, &moved, TRUE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_TRUE(GetOverlappedResult(device.get(), &second, &moved, TRUE));
}

// The cleanup goes out when the handle is closed; the close only once the requests still in
// flight on it have ended.
TEST_F(ApplicationTest, TheCloseWaitsForTheRequestsInFlight) {
    makeDevice(holdRequests());
    AppHandle device = openDevice(kAppTestClass, FILE_FLAG_OVERLAPPED);
    std::uint8_t buffer[8];
    OVERLAPPED overlapped{};
    EXPECT_FALSE(ReadFile(device.get(), buffer, 8, nullptr, &overlapped));
    device.close();
    EXPECT_EQ(majors().back(), IRP_MJ_CLEANUP);
    completeHeld(STATUS_SUCCESS, 8);
    EXPECT_TRUE(waitFor(IRP_MJ_CLOSE, 1));
    EXPECT_EQ(overlapped.InternalHigh, 8u);
}

// A handle for synchronous I/O does one request at a time, whichever thread asks.
TEST_F(ApplicationTest, ASynchronousHandleSendsOneRequestAtATime) {
    makeDevice(holdRequests());
    AppHandle device = openDevice(kAppTestClass);
    std::vector<std::thread> readers;
    std::atomic<int> done{0};
    for (int i = 0; i < 2; ++i)
        readers.emplace_back([&] {
            std::uint8_t buffer[8];
            DWORD moved = 0;
            EXPECT_TRUE(ReadFile(device.get(), buffer, 8, &moved, nullptr));
            EXPECT_EQ(moved, 4u);
            ++done;
        });
    ASSERT_TRUE(waitForHeld(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(heldCount(), 1u) << "the second read waits for the first";
    completeHeld(STATUS_SUCCESS, 4);
    ASSERT_TRUE(waitFor(IRP_MJ_READ, 2) && waitForHeld(1));
    completeHeld(STATUS_SUCCESS, 4);
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(done.load(), 2);
}

} // namespace
} // namespace wdmusb::test
