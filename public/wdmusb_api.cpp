// The application library (wdmusb_api.h) over the platform's user-mode API: the Windows headers
// in a Windows build, the simulator's application side (the same names and behaviour) in a host
// build.
//
// Each device has one overlapped handle, one manual-reset event and one buffer from VirtualAlloc
// through which every read, write and data stage goes: a request the driver keeps after its
// cancel then holds the library's memory, never the caller's, and the vendor request's record
// carries an address of the application's user space, as the driver needs.
#include "public/wdmusb_api.h"

#if defined(_WIN32)
#include <windows.h>
// windows.h first: these two rely on its types.
#include <setupapi.h>
#include <winioctl.h>
#else
#include "sim/app/win32.h"
#endif

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "public/wdmusb.h"

namespace {

// Every request fits the device's buffer: the driver takes at most this much at once.
constexpr DWORD kBufferBytes = WDMUSB_MAXIMUM_REQUEST_BYTES;
static_assert(kBufferBytes >= 0xFFFF, "a data stage or a configuration descriptor fits");

// How long a cancelled request may take to end, waited for in slices.
constexpr DWORD kCancelGraceMs = 2000;
constexpr DWORD kCancelSliceMs = 100;

constexpr BYTE kVendorToDevice = 0x40; // vendor type, host to device
constexpr BYTE kVendorToHost = 0xC0;   // vendor type, device to host
constexpr DWORD kHeaderBytes = 9;      // a configuration descriptor's own header (USB 2.0, 9.6.3)

} // namespace

struct WdmusbDevice {
    HANDLE handle;
    HANDLE event;          // signalled by each request's end, and by WdmusbCancel
    OVERLAPPED overlapped; // of the request in flight, or of the one left pending
    bool leftPending;      // a cancelled request that had not ended in the grace time
    LONG cancelled;        // WdmusbCancel: read and written through std::atomic_ref
    BYTE* buffer;          // kBufferBytes from VirtualAlloc
    WdmusbDevice* next;    // in the list of records closed with their request left pending
    char path[1];          // the rest of the record
};

namespace {

std::atomic_ref<LONG> cancelFlag(WdmusbDevice* device) {
    return std::atomic_ref<LONG>(device->cancelled);
}

// How a request started with `started` (the call's result) ended: the platform's error, and
// the bytes it moved. Pending, it is waited for up to `timeoutMs`, then cancelled.
struct Outcome {
    DWORD error = ERROR_SUCCESS;
    DWORD moved = 0;
};

// The error of a request that has ended, as the platform translates its status.
Outcome ended(WdmusbDevice* device) {
    Outcome outcome;
    DWORD bytes = 0;
    if (!GetOverlappedResult(device->handle, &device->overlapped, &bytes, FALSE))
        outcome.error = GetLastError();
    // Also when it failed: a transfer broken part-way reports what it moved before the break.
    outcome.moved = static_cast<DWORD>(device->overlapped.InternalHigh);
    return outcome;
}

// After CancelIo: the request's end, waited for a while. The event may be signalled by another
// WdmusbCancel meanwhile, so each slice starts afresh and looks at the request itself.
bool waitAfterCancel(WdmusbDevice* device) {
    for (DWORD waited = 0; waited < kCancelGraceMs;) {
        ResetEvent(device->event);
        if (HasOverlappedIoCompleted(&device->overlapped))
            return true;
        if (WaitForSingleObject(device->event, kCancelSliceMs) == WAIT_TIMEOUT)
            waited += kCancelSliceMs;
    }
    return HasOverlappedIoCompleted(&device->overlapped);
}

Outcome finish(WdmusbDevice* device, BOOL started, DWORD timeoutMs) {
    if (!started) {
        const DWORD error = GetLastError();
        // A warning (a buffer too short for all there is) has ended with its bytes; any other
        // failure ended at once and updated nothing but the error.
        if (error == ERROR_MORE_DATA)
            return {error, static_cast<DWORD>(device->overlapped.InternalHigh)};
        if (error != ERROR_IO_PENDING)
            return {error, 0};
    }
    for (;;) {
        if (HasOverlappedIoCompleted(&device->overlapped))
            return ended(device);
        if (cancelFlag(device).load() != 0 ||
            WaitForSingleObject(device->event, timeoutMs) == WAIT_TIMEOUT)
            break;
        // Woken by the request's end or by WdmusbCancel, which the next turn tells apart; a
        // cancel that WdmusbResume took back at once left the event signalled for nothing.
        if (!HasOverlappedIoCompleted(&device->overlapped) && cancelFlag(device).load() == 0)
            ResetEvent(device->event);
    }
    CancelIo(device->handle);
    if (!waitAfterCancel(device)) {
        device->leftPending = true;
        return {ERROR_IO_INCOMPLETE, 0};
    }
    Outcome outcome = ended(device);
    if (outcome.error == ERROR_OPERATION_ABORTED && cancelFlag(device).load() == 0)
        outcome.error = ERROR_SEM_TIMEOUT; // ended by its time-out, not by WdmusbCancel
    return outcome;
}

// Before a request: none other may be pending, and none may start after WdmusbCancel. The event
// is reset before the cancel flag is read, so a cancel after that read wakes the wait.
DWORD prepare(WdmusbDevice* device) {
    if (device->leftPending) {
        if (!HasOverlappedIoCompleted(&device->overlapped))
            return ERROR_BUSY;
        device->leftPending = false;
    }
    device->overlapped = OVERLAPPED{};
    device->overlapped.hEvent = device->event;
    ResetEvent(device->event);
    return cancelFlag(device).load() != 0 ? ERROR_OPERATION_ABORTED : ERROR_SUCCESS;
}

enum class Direction { Read, Write };

Outcome transfer(WdmusbDevice* device, Direction direction, DWORD length, DWORD timeoutMs) {
    const DWORD refused = prepare(device);
    if (refused != ERROR_SUCCESS)
        return {refused, 0};
    const BOOL started =
        direction == Direction::Read
            ? ReadFile(device->handle, device->buffer, length, nullptr, &device->overlapped)
            : WriteFile(device->handle, device->buffer, length, nullptr, &device->overlapped);
    return finish(device, started, timeoutMs);
}

// Whether the driver still serves this handle: a read of no bytes goes through its checks (the
// device accepting requests, the handle owning the pipes) and moves nothing. ERROR_SUCCESS, or
// the error a request gets; a question the system could not even send (short of memory) tells
// nothing, and counts as ERROR_SUCCESS.
DWORD handleState(WdmusbDevice* device) {
    const DWORD error = transfer(device, Direction::Read, 0, WDMUSB_NO_TIMEOUT).error;
    return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_NO_SYSTEM_RESOURCES ? ERROR_SUCCESS
                                                                                  : error;
}

// The driver's answers that mean it does not serve the handle: the device not accepting requests
// (STATUS_DELETE_PENDING) or the handle owning no pipes (STATUS_INVALID_HANDLE).
bool refusedByDriver(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE;
}

// A read or write through the device's buffer; the bytes read are copied out, whatever the
// request ended with.
uint32_t moveData(WdmusbDevice* device, Direction direction, void* data, uint32_t length,
                  uint32_t timeoutMs, uint32_t* moved) {
    if (moved != nullptr)
        *moved = 0;
    if (device == nullptr || (data == nullptr && length > 0))
        return ERROR_INVALID_PARAMETER;
    if (length > kBufferBytes)
        return ERROR_INVALID_PARAMETER; // the driver's answer, without asking it
    if (direction == Direction::Write && length > 0)
        std::memcpy(device->buffer, data, length);
    Outcome outcome = transfer(device, direction, length, timeoutMs);
    if (outcome.error == ERROR_IO_INCOMPLETE)
        return outcome.error;
    if (outcome.moved > length)
        outcome.moved = length;
    if (direction == Direction::Read && outcome.moved > 0)
        std::memcpy(data, device->buffer, outcome.moved);
    // Success with nothing moved is also how the driver ends a request cut short by a stop or a
    // removal: the state of the handle tells that from a device that sent nothing.
    if (outcome.error == ERROR_SUCCESS && outcome.moved == 0 && length > 0)
        outcome.error = handleState(device);
    if (moved != nullptr)
        *moved = outcome.moved;
    return outcome.error;
}

Outcome control(WdmusbDevice* device, DWORD code, void* input, DWORD inputBytes,
                DWORD outputBytes) {
    const DWORD refused = prepare(device);
    if (refused != ERROR_SUCCESS)
        return {refused, 0};
    const BOOL started = DeviceIoControl(device->handle, code, input, inputBytes,
                                         outputBytes > 0 ? device->buffer : nullptr, outputBytes,
                                         nullptr, &device->overlapped);
    return finish(device, started, WDMUSB_NO_TIMEOUT);
}

uint32_t vendor(WdmusbDevice* device, BYTE requestType, uint8_t request, uint16_t value,
                uint16_t index, uint16_t length) {
    VENDOR_REQUEST record{};
    record.RequestType = requestType;
    record.Request = request;
    record.Value = value;
    record.Index = index;
    record.Length = length;
    record.Buffer =
        length > 0 ? static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(device->buffer)) : 0;
    return control(device, IOCTL_VENDOR_REQUEST, &record, sizeof record, 0).error;
}

// A device information set of the driver's present interfaces, destroyed on every way out.
class InterfaceSet {
public:
    InterfaceSet()
        : set_(SetupDiGetClassDevsA(&GUID_DEVINTERFACE_WDMUSB, nullptr, nullptr,
                                    DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {}
    ~InterfaceSet() {
        if (set_ != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(set_);
    }
    InterfaceSet(const InterfaceSet&) = delete;
    InterfaceSet& operator=(const InterfaceSet&) = delete;

    DWORD path(DWORD index, char* path, DWORD size, DWORD* required) {
        if (set_ == INVALID_HANDLE_VALUE)
            return GetLastError();
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set_, nullptr, &GUID_DEVINTERFACE_WDMUSB, index, &data))
            return GetLastError(); // ERROR_NO_MORE_ITEMS past the last one
        DWORD bytes = 0;
        SetupDiGetDeviceInterfaceDetailA(set_, &data, nullptr, 0, &bytes, nullptr);
        const DWORD header = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        if (bytes <= header)
            return GetLastError();
        *required = bytes - header;
        if (path == nullptr || size < *required)
            return ERROR_INSUFFICIENT_BUFFER;
        // The variable-length record, DWORD-aligned as the platform wants it.
        auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::malloc(bytes));
        if (detail == nullptr)
            return ERROR_NOT_ENOUGH_MEMORY;
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        DWORD error = ERROR_SUCCESS;
        if (SetupDiGetDeviceInterfaceDetailA(set_, &data, detail, bytes, nullptr, nullptr))
            std::memcpy(path, detail->DevicePath, *required);
        else
            error = GetLastError();
        std::free(detail);
        return error;
    }

private:
    HDEVINFO set_;
};

// The record's parts in the reverse order of their making; none is left when `device` is NULL.
void destroy(WdmusbDevice* device) {
    if (device == nullptr)
        return;
    if (device->handle != INVALID_HANDLE_VALUE)
        CloseHandle(device->handle);
    if (device->event != nullptr)
        CloseHandle(device->event);
    if (device->buffer != nullptr)
        VirtualFree(device->buffer, 0, MEM_RELEASE);
    std::free(device);
}

// --- Errors in words -----------------------------------------------------------------------------

struct ErrorName {
    DWORD error;
    const char* name;
};

// The errors the platform gives for what the driver, the bus and the system answer, and the
// library's own.
constexpr ErrorName kErrorNames[] = {
    {ERROR_SUCCESS, "ERROR_SUCCESS"},
    {ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"},
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
    {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
    {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
    {ERROR_INVALID_DATA, "ERROR_INVALID_DATA"},
    {ERROR_NOT_READY, "ERROR_NOT_READY"},
    {ERROR_BAD_COMMAND, "ERROR_BAD_COMMAND"},
    {ERROR_CRC, "ERROR_CRC"},
    {ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
    {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED"},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
    {ERROR_SEM_TIMEOUT, "ERROR_SEM_TIMEOUT"},
    {ERROR_INSUFFICIENT_BUFFER, "ERROR_INSUFFICIENT_BUFFER"},
    {ERROR_BUSY, "ERROR_BUSY"},
    {ERROR_MORE_DATA, "ERROR_MORE_DATA"},
    {ERROR_NO_MORE_ITEMS, "ERROR_NO_MORE_ITEMS"},
    {433, "ERROR_NO_SUCH_DEVICE"}, // which mingw-w64's headers leave out
    {ERROR_OPERATION_ABORTED, "ERROR_OPERATION_ABORTED"},
    {ERROR_IO_INCOMPLETE, "ERROR_IO_INCOMPLETE"},
    {ERROR_NOACCESS, "ERROR_NOACCESS"},
    {ERROR_IO_DEVICE, "ERROR_IO_DEVICE"},
    {ERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED"},
    {ERROR_NO_SYSTEM_RESOURCES, "ERROR_NO_SYSTEM_RESOURCES"},
};

struct ErrorMessage {
    WdmusbCall call; // WdmusbCallAny: for every call without one of its own
    DWORD error;
    const char* text;
};

// What an error means to someone holding the device. The first entry for the call wins, then
// the first for any call.
constexpr ErrorMessage kErrorMessages[] = {
    {WdmusbCallAny, ERROR_SUCCESS, "done"},
    {WdmusbCallAny, ERROR_FILE_NOT_FOUND, "no such device"},
    {WdmusbCallAny, 433, "the device does not exist (any more)"},
    {WdmusbCallAny, ERROR_DEVICE_NOT_CONNECTED, "the device is not connected"},
    {WdmusbCallOpen, ERROR_ACCESS_DENIED,
     "access denied: the device is not started, or it is stopping or being removed"},
    {WdmusbCallAny, ERROR_ACCESS_DENIED,
     "the device is stopping or being removed: the request was refused, or cut short"},
    {WdmusbCallOpen, ERROR_INVALID_HANDLE,
     "the driver refused the open (another handle holds the device, or the system ran out of "
     "resources) although the system handed out a handle, as Wine does"},
    {WdmusbCallAny, ERROR_INVALID_HANDLE,
     "the driver does not know this handle: the device was restarted since it was opened, or "
     "the driver refused the open although the system handed out a handle (as Wine does): "
     "open the device again"},
    {WdmusbCallAny, ERROR_BUSY, "the device is busy: another read or write is in flight"},
    {WdmusbCallOpen, ERROR_NO_SYSTEM_RESOURCES,
     "the device is in use by another handle (the driver serves one at a time), or the system "
     "ran out of resources"},
    {WdmusbCallVendor, ERROR_NO_SYSTEM_RESOURCES,
     "the system could not lock or map the data stage's buffer for the driver, or ran out of "
     "resources (under Wine a data stage cannot reach the application's memory)"},
    {WdmusbCallAny, ERROR_NO_SYSTEM_RESOURCES, "the system ran out of resources"},
    {WdmusbCallAny, ERROR_GEN_FAILURE,
     "the device did not do what was asked (a stall or a failed transfer)"},
    {WdmusbCallAny, ERROR_IO_DEVICE, "the device reported an I/O error"},
    {WdmusbCallAny, ERROR_CRC,
     "part of the transfer failed while the device moved data after it (a write left a gap at "
     "the device, a read lost data)"},
    {WdmusbCallRead, ERROR_SEM_TIMEOUT,
     "no answer in time: the request was cancelled (a read waits as long as the device has "
     "nothing to send)"},
    {WdmusbCallWrite, ERROR_SEM_TIMEOUT, "no answer in time: the request was cancelled"},
    {WdmusbCallVendor, ERROR_SEM_TIMEOUT,
     "the device did not answer within 5 seconds: the driver gave the request up"},
    {WdmusbCallAny, ERROR_SEM_TIMEOUT, "the device did not answer in time"},
    {WdmusbCallAny, ERROR_OPERATION_ABORTED, "the request was cancelled"},
    {WdmusbCallAny, ERROR_IO_INCOMPLETE,
     "the request was cancelled but the driver has not ended it: the device is busy until it does"},
    {WdmusbCallAny, ERROR_INVALID_PARAMETER, "the driver refused the request's parameters"},
    {WdmusbCallAny, ERROR_INVALID_FUNCTION, "the driver does not handle this request"},
    {WdmusbCallAny, ERROR_NOT_SUPPORTED, "the request is not supported"},
    {WdmusbCallAny, ERROR_BAD_COMMAND, "the device is not in a state to do that"},
    {WdmusbCallAny, ERROR_NOACCESS, "the driver could not use the buffer"},
    {WdmusbCallDescriptor, ERROR_INSUFFICIENT_BUFFER,
     "the buffer is shorter than the configuration descriptor"},
    {WdmusbCallAny, ERROR_INSUFFICIENT_BUFFER, "the buffer is too short"},
    {WdmusbCallDescriptor, ERROR_INVALID_DATA,
     "the driver returned less than a configuration descriptor"},
    {WdmusbCallAny, ERROR_INVALID_DATA, "the driver returned malformed data"},
    {WdmusbCallAny, ERROR_MORE_DATA, "more data than the buffer holds"},
    {WdmusbCallAny, ERROR_NO_MORE_ITEMS, "no such device"},
    {WdmusbCallAny, ERROR_NOT_ENOUGH_MEMORY, "not enough memory"},
    {WdmusbCallAny, ERROR_NOT_READY, "the device is not ready"},
};

const char* messageFor(WdmusbCall call, DWORD error) {
    const char* fallback = nullptr;
    for (const ErrorMessage& entry : kErrorMessages) {
        if (entry.error != error)
            continue;
        if (entry.call == call)
            return entry.text;
        if (entry.call == WdmusbCallAny && fallback == nullptr)
            fallback = entry.text;
    }
    return fallback != nullptr ? fallback : "an error the library does not know";
}

// Records closed while the system still held their request: the system completes into them when
// it ends, so they stay, reachable from here, until a later open or close finds it ended.
std::atomic_flag gAbandonedLock;
WdmusbDevice* gAbandoned = nullptr; // guarded by gAbandonedLock

class AbandonedList {
public:
    AbandonedList() {
        while (gAbandonedLock.test_and_set(std::memory_order_acquire))
            Sleep(0);
    }
    ~AbandonedList() { gAbandonedLock.clear(std::memory_order_release); }
    AbandonedList(const AbandonedList&) = delete;
    AbandonedList& operator=(const AbandonedList&) = delete;

    void add(WdmusbDevice* device) {
        device->next = gAbandoned;
        gAbandoned = device;
    }
    // Takes out the records whose request has ended; the caller destroys them, unlocked.
    WdmusbDevice* takeEnded() {
        WdmusbDevice* ended = nullptr;
        for (WdmusbDevice** link = &gAbandoned; *link != nullptr;) {
            WdmusbDevice* device = *link;
            if (!HasOverlappedIoCompleted(&device->overlapped)) {
                link = &device->next;
                continue;
            }
            *link = device->next;
            device->next = ended;
            ended = device;
        }
        return ended;
    }
};

void reclaimAbandoned() {
    WdmusbDevice* ended = AbandonedList().takeEnded();
    while (ended != nullptr) {
        WdmusbDevice* next = ended->next;
        destroy(ended);
        ended = next;
    }
}

} // namespace

extern "C" {

uint32_t WdmusbGetDevicePath(uint32_t index, char* path, uint32_t size, uint32_t* required) {
    DWORD bytes = 0;
    const DWORD error = InterfaceSet().path(index, path, size, &bytes);
    if (required != nullptr)
        *required = bytes;
    return error;
}

uint32_t WdmusbOpen(uint32_t index, WdmusbDevice** device) {
    if (device == nullptr)
        return ERROR_INVALID_PARAMETER;
    *device = nullptr;
    uint32_t required = 0;
    DWORD error = WdmusbGetDevicePath(index, nullptr, 0, &required);
    if (error == ERROR_NO_MORE_ITEMS)
        return ERROR_FILE_NOT_FOUND;
    if (error != ERROR_INSUFFICIENT_BUFFER)
        return error;
    char* path = static_cast<char*>(std::malloc(required));
    if (path == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    error = WdmusbGetDevicePath(index, path, required, nullptr);
    if (error == ERROR_SUCCESS)
        error = WdmusbOpenPath(path, device);
    std::free(path);
    return error;
}

uint32_t WdmusbOpenPath(const char* path, WdmusbDevice** opened) {
    if (path == nullptr || opened == nullptr)
        return ERROR_INVALID_PARAMETER;
    *opened = nullptr;
    reclaimAbandoned();
    const std::size_t pathBytes = std::strlen(path) + 1;
    auto* device = static_cast<WdmusbDevice*>(std::calloc(1, sizeof(WdmusbDevice) + pathBytes));
    if (device == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    std::memcpy(device->path, path, pathBytes);
    device->handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    DWORD error = device->handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (error == ERROR_SUCCESS) {
        device->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        device->buffer = static_cast<BYTE*>(
            VirtualAlloc(nullptr, kBufferBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (device->event == nullptr || device->buffer == nullptr)
            error = GetLastError();
    }
    if (error == ERROR_SUCCESS) {
        // An open the driver refused, whatever the system said.
        const DWORD state = handleState(device);
        if (refusedByDriver(state))
            error = state;
    }
    if (error != ERROR_SUCCESS) {
        destroy(device);
        return error;
    }
    *opened = device;
    return ERROR_SUCCESS;
}

void WdmusbClose(WdmusbDevice* device) {
    if (device == nullptr)
        return;
    if (device->leftPending && !HasOverlappedIoCompleted(&device->overlapped)) {
        // The system completes into the record and signals the event when the request ends:
        // both stay, with the buffer the request holds.
        CloseHandle(device->handle);
        device->handle = INVALID_HANDLE_VALUE;
        AbandonedList().add(device);
    } else {
        destroy(device);
    }
    reclaimAbandoned();
}

const char* WdmusbDevicePath(const WdmusbDevice* device) {
    return device != nullptr ? device->path : "";
}

uint32_t WdmusbRead(WdmusbDevice* device, void* buffer, uint32_t length, uint32_t timeout_ms,
                    uint32_t* moved) {
    return moveData(device, Direction::Read, buffer, length, timeout_ms, moved);
}

uint32_t WdmusbWrite(WdmusbDevice* device, const void* buffer, uint32_t length, uint32_t timeout_ms,
                     uint32_t* moved) {
    return moveData(device, Direction::Write, const_cast<void*>(buffer), length, timeout_ms, moved);
}

void WdmusbCancel(WdmusbDevice* device) {
    if (device == nullptr)
        return;
    cancelFlag(device).store(1);
    SetEvent(device->event);
}

void WdmusbResume(WdmusbDevice* device) {
    if (device != nullptr)
        cancelFlag(device).store(0);
}

uint32_t WdmusbGetConfigurationDescriptor(WdmusbDevice* device, void* buffer, uint32_t size,
                                          uint32_t* length) {
    if (length != nullptr)
        *length = 0;
    if (device == nullptr || (buffer == nullptr && size > 0))
        return ERROR_INVALID_PARAMETER;
    // The header first: it tells the whole length. A short buffer gets what fits and
    // ERROR_MORE_DATA, which is all this needs.
    Outcome header = control(device, IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, kHeaderBytes);
    if (header.error != ERROR_SUCCESS && header.error != ERROR_MORE_DATA)
        return header.error;
    if (header.moved < 4)
        return ERROR_INVALID_DATA;
    const DWORD total = device->buffer[2] | (device->buffer[3] << 8);
    if (total < kHeaderBytes)
        return ERROR_INVALID_DATA; // wTotalLength counts the header itself
    if (length != nullptr)
        *length = total;
    if (buffer == nullptr || size < total)
        return ERROR_INSUFFICIENT_BUFFER;
    const Outcome whole = control(device, IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, total);
    if (whole.error != ERROR_SUCCESS)
        return whole.error;
    if (whole.moved < kHeaderBytes)
        return ERROR_INVALID_DATA;
    std::memcpy(buffer, device->buffer, whole.moved);
    if (length != nullptr)
        *length = whole.moved;
    return ERROR_SUCCESS;
}

uint32_t WdmusbVendorIn(WdmusbDevice* device, uint8_t request, uint16_t value, uint16_t index,
                        void* data, uint16_t length) {
    if (device == nullptr || (data == nullptr && length > 0))
        return ERROR_INVALID_PARAMETER;
    const uint32_t error = vendor(device, kVendorToHost, request, value, index, length);
    if (error == ERROR_SUCCESS && length > 0)
        std::memcpy(data, device->buffer, length);
    return error;
}

uint32_t WdmusbVendorOut(WdmusbDevice* device, uint8_t request, uint16_t value, uint16_t index,
                         const void* data, uint16_t length) {
    if (device == nullptr || (data == nullptr && length > 0))
        return ERROR_INVALID_PARAMETER;
    if (length > 0)
        std::memcpy(device->buffer, data, length);
    return vendor(device, kVendorToDevice, request, value, index, length);
}

uint32_t WdmusbResetPort(WdmusbDevice* device) {
    if (device == nullptr)
        return ERROR_INVALID_PARAMETER;
    return control(device, IOCTL_RESET_DEVICE, nullptr, 0, 0).error;
}

const char* WdmusbErrorMessage(WdmusbCall call, uint32_t error) {
    return messageFor(call, error);
}

const char* WdmusbErrorName(uint32_t error) {
    for (const ErrorName& entry : kErrorNames)
        if (entry.error == error)
            return entry.name;
    return nullptr;
}

} // extern "C"
