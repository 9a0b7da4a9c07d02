#include "tools/wdmusbctl/device.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/wdmusbctl/errors.h"
#include "tools/wdmusbctl/win32_api.h"

namespace wdmusbctl {

namespace {

// A device information set, destroyed on every way out.
class InterfaceSet {
public:
    InterfaceSet()
        : set_(SetupDiGetClassDevs(&GUID_DEVINTERFACE_WDMUSB, nullptr, nullptr,
                                   DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
        if (set_ == INVALID_HANDLE_VALUE)
            failWithLastError("listing the devices");
    }
    ~InterfaceSet() { SetupDiDestroyDeviceInfoList(set_); }
    InterfaceSet(const InterfaceSet&) = delete;
    InterfaceSet& operator=(const InterfaceSet&) = delete;

    // False when there is no interface numbered `index`.
    bool path(DWORD index, std::string& out) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set_, nullptr, &GUID_DEVINTERFACE_WDMUSB, index, &data)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS)
                return false;
            failWithLastError("listing the devices");
        }
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetail(set_, &data, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA))
            failWithLastError("reading a device's path");
        // DWORD-aligned storage for the variable-length record.
        std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD));
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA);
        if (!SetupDiGetDeviceInterfaceDetail(set_, &data, detail, required, nullptr, nullptr))
            failWithLastError("reading a device's path");
        out = detail->DevicePath;
        return true;
    }

private:
    HDEVINFO set_;
};

// How long a cancelled request may take to end.
constexpr DWORD kCancelGraceMs = 1000;

// A request the driver keeps although it was cancelled (the driver gives up reads and writes only
// when the device stops or leaves) still owns its buffer: the program cannot go on, and ends here
// without freeing anything, leaving the request to the system.
[[noreturn]] void exitLeavingRequest(const std::string& late) {
    std::fflush(stdout);
    std::fprintf(stderr,
                 "wdmusbctl: %s; CancelIo does not end it: the driver gives a read or write up "
                 "only when the device answers, stops, sleeps or leaves, so the request is left "
                 "pending to the system\n",
                 late.c_str());
    std::fflush(stderr);
    std::_Exit(static_cast<int>(Exit::DeviceError));
}

constexpr std::uint8_t kVendorToDevice = 0x40; // vendor type, to the device
constexpr std::uint8_t kVendorToHost = 0xC0;   // vendor type, to the host

} // namespace

std::vector<std::string> listInterfaces() {
    InterfaceSet set;
    std::vector<std::string> paths;
    std::string path;
    for (DWORD i = 0; set.path(i, path); ++i)
        paths.push_back(path);
    return paths;
}

VendorProduct vendorProductFromPath(const std::string& path) {
    std::string upper = path;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const auto at = upper.find("VID_");
    const auto product = upper.find("&PID_");
    if (at == std::string::npos || product != at + 8 || upper.size() < product + 9)
        return {};
    return {upper.substr(at + 4, 4), upper.substr(product + 5, 4)};
}

struct Device::Pending {
    OVERLAPPED overlapped;

    // Each request starts on a fresh record with its event reset.
    LPOVERLAPPED start(HANDLE event) {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
        ResetEvent(event);
        return &overlapped;
    }
};

Device::Device(unsigned index, std::uint32_t timeoutMs) : timeoutMs_(timeoutMs) {
    const std::vector<std::string> paths = listInterfaces();
    if (paths.empty())
        throw Failure("no device: no interface of the wdmusb class is present", 0, Exit::NoDevice);
    if (index >= paths.size())
        throw Failure("no device " + std::to_string(index) + ": there are " +
                          std::to_string(paths.size()) + " (see 'wdmusbctl list')",
                      0, Exit::NoDevice);
    path_ = paths[index];
    event_ = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    if (event_ == nullptr)
        failWithLastError("creating an event");
    handle_ = CreateFile(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        CloseHandle(event_);
        SetLastError(error);
        failWithLastError("opening " + path_);
    }
    pending_ = new Pending{};
}

Device::~Device() {
    CloseHandle(handle_);
    CloseHandle(event_);
    delete pending_;
}

std::uint32_t Device::finish(bool started, const std::string& doing, bool moreDataOk) {
    if (!started && GetLastError() != ERROR_IO_PENDING &&
        !(moreDataOk && GetLastError() == ERROR_MORE_DATA))
        failWithLastError(doing);
    DWORD moved = 0;
    if (!started && WaitForSingleObject(event_, timeoutMs_) == WAIT_TIMEOUT) {
        const std::string late = doing + ": no answer within " + std::to_string(timeoutMs_) + " ms";
        // Cancelled, the request still ends through the platform: wait for that before its
        // buffer and record go away.
        CancelIo(handle_);
        if (WaitForSingleObject(event_, kCancelGraceMs) == WAIT_TIMEOUT)
            exitLeavingRequest(late);
        GetOverlappedResult(handle_, &pending_->overlapped, &moved, TRUE);
        throw Failure(late + " (cancelled; see --timeout)", ERROR_SEM_TIMEOUT, Exit::DeviceError);
    }
    if (!GetOverlappedResult(handle_, &pending_->overlapped, &moved, TRUE) &&
        !(moreDataOk && GetLastError() == ERROR_MORE_DATA))
        failWithLastError(doing);
    return moved;
}

std::uint32_t Device::read(std::span<std::uint8_t> buffer) {
    LPOVERLAPPED overlapped = pending_->start(event_);
    const BOOL started =
        ReadFile(handle_, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, overlapped);
    return finish(started != FALSE, "reading " + std::to_string(buffer.size()) + " bytes");
}

std::uint32_t Device::write(std::span<const std::uint8_t> buffer) {
    LPOVERLAPPED overlapped = pending_->start(event_);
    const BOOL started =
        WriteFile(handle_, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, overlapped);
    return finish(started != FALSE, "writing " + std::to_string(buffer.size()) + " bytes");
}

std::uint32_t Device::control(std::uint32_t code, void* in, std::uint32_t inBytes, void* out,
                              std::uint32_t outBytes, const std::string& doing, bool moreDataOk) {
    LPOVERLAPPED overlapped = pending_->start(event_);
    const BOOL started =
        DeviceIoControl(handle_, code, in, inBytes, out, outBytes, nullptr, overlapped);
    return finish(started != FALSE, doing, moreDataOk);
}

std::vector<std::uint8_t> Device::configurationDescriptor() {
    // The 9-byte header first: it tells the whole length. A short buffer gets ERROR_MORE_DATA
    // with what fits, which is all this needs.
    const std::string doing = "reading the configuration descriptor";
    std::vector<std::uint8_t> bytes(9);
    const std::uint32_t returned =
        control(IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, bytes.data(), 9, doing, true);
    if (returned < 4)
        throw Failure("reading the configuration descriptor: the driver returned " +
                          std::to_string(returned) + " bytes",
                      0, Exit::DeviceError);
    const std::uint32_t total = bytes[2] | (bytes[3] << 8);
    bytes.resize(total);
    const std::uint32_t got =
        control(IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, bytes.data(), total, doing);
    bytes.resize(got);
    return bytes;
}

void Device::reset() {
    control(IOCTL_RESET_DEVICE, nullptr, 0, nullptr, 0, "resetting the device's port");
}

void Device::vendor(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                    std::uint16_t index, std::span<std::uint8_t> data) {
    // The record carries the data's address for the driver: memory of the application's own
    // address space, from VirtualAlloc.
    void* memory = nullptr;
    if (!data.empty()) {
        memory = VirtualAlloc(nullptr, data.size(), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (memory == nullptr)
            failWithLastError("allocating the request's buffer");
        std::memcpy(memory, data.data(), data.size());
    }
    VENDOR_REQUEST record{};
    record.RequestType = requestType;
    record.Request = request;
    record.Value = value;
    record.Index = index;
    record.Length = static_cast<USHORT>(data.size());
    record.Buffer = static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(memory));
    // The memory goes on every way out, a failure included.
    struct Release {
        void* memory;
        ~Release() {
            if (memory != nullptr)
                VirtualFree(memory, 0, MEM_RELEASE);
        }
    } release{memory};
    control(IOCTL_VENDOR_REQUEST, &record, sizeof record, nullptr, 0, "sending the vendor request");
    if (memory != nullptr)
        std::memcpy(data.data(), memory, data.size());
}

std::vector<std::uint8_t> Device::vendorIn(std::uint8_t request, std::uint16_t value,
                                           std::uint16_t index, std::uint16_t length) {
    std::vector<std::uint8_t> data(length);
    vendor(kVendorToHost, request, value, index, data);
    return data;
}

void Device::vendorOut(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                       std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> copy(data.begin(), data.end());
    vendor(kVendorToDevice, request, value, index, copy);
}

} // namespace wdmusbctl
