#include "tools/wdmusbctl/device.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "tools/wdmusbctl/errors.h"
#include "tools/wdmusbctl/interrupt.h"
#include "tools/wdmusbctl/win32_api.h"

namespace wdmusbctl {

namespace {

// A request the system keeps although it was cancelled (this driver ends a cancelled read or
// write at once; a driver of another kind may keep it) holds the device: the program ends here
// and leaves the request to the system, which ends it with the process.
[[noreturn]] void exitLeavingRequest(const std::string& message, Exit exit) {
    std::fflush(stdout);
    std::fprintf(stderr, "wdmusbctl: %s; the program ends, leaving the request to the system\n",
                 message.c_str());
    std::fflush(stderr);
    std::_Exit(static_cast<int>(exit));
}

} // namespace

std::vector<std::string> listInterfaces() {
    std::vector<std::string> paths;
    for (std::uint32_t index = 0;; ++index) {
        std::uint32_t required = 0;
        std::uint32_t error = WdmusbGetDevicePath(index, nullptr, 0, &required);
        if (error == ERROR_NO_MORE_ITEMS)
            return paths;
        std::string path(required, '\0');
        if (error == ERROR_INSUFFICIENT_BUFFER)
            error = WdmusbGetDevicePath(index, path.data(), required, nullptr);
        if (error != ERROR_SUCCESS)
            fail(WdmusbCallAny, "listing the devices", error);
        path.resize(required - 1); // without its zero
        paths.push_back(path);
    }
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

Device::Device(unsigned index, std::uint32_t timeoutMs) : timeoutMs_(timeoutMs) {
    const std::vector<std::string> paths = listInterfaces();
    if (paths.empty())
        throw Failure("no device: no interface of the wdmusb class is present", 0, Exit::NoDevice);
    if (index >= paths.size())
        throw Failure("no device " + std::to_string(index) + ": there are " +
                          std::to_string(paths.size()) + " (see 'wdmusbctl list')",
                      0, Exit::NoDevice);
    path_ = paths[index];
    check(WdmusbCallOpen, WdmusbOpenPath(path_.c_str(), &device_), "opening " + path_);
    cancelOnInterrupt(device_);
}

Device::~Device() {
    cancelOnInterrupt(nullptr);
    WdmusbClose(device_);
}

void Device::check(WdmusbCall call, std::uint32_t error, const std::string& doing,
                   std::uint32_t moved) const {
    if (error == ERROR_SUCCESS)
        return;
    if (interrupted() && (error == ERROR_OPERATION_ABORTED || error == ERROR_IO_INCOMPLETE)) {
        const std::string message = doing + ": interrupted (Ctrl-C): " + describeError(call, error);
        if (error == ERROR_IO_INCOMPLETE)
            exitLeavingRequest(message, Exit::Interrupted);
        throw Failure(message + movedBefore(call, moved) +
                          "; the device is ready for the next request",
                      error, Exit::Interrupted);
    }
    // Only reads and writes have a time-out; it is what ended them.
    const bool timedOut = (call == WdmusbCallRead || call == WdmusbCallWrite) &&
                          (error == ERROR_SEM_TIMEOUT || error == ERROR_IO_INCOMPLETE);
    const std::string what =
        timedOut ? doing + ", waited " + std::to_string(timeoutMs_) + " ms" : doing;
    if (error == ERROR_IO_INCOMPLETE)
        exitLeavingRequest(what + ": " + describeError(call, error), Exit::DeviceError);
    throw Failure(what + ": " + describeError(call, error) + movedBefore(call, moved), error,
                  exitFor(call, error));
}

std::uint32_t Device::read(std::span<std::uint8_t> buffer) {
    std::uint32_t moved = 0;
    const std::uint32_t error = WdmusbRead(
        device_, buffer.data(), static_cast<std::uint32_t>(buffer.size()), timeoutMs_, &moved);
    check(WdmusbCallRead, error, "reading " + std::to_string(buffer.size()) + " bytes", moved);
    return moved;
}

std::uint32_t Device::write(std::span<const std::uint8_t> buffer) {
    std::uint32_t moved = 0;
    const std::uint32_t error = WdmusbWrite(
        device_, buffer.data(), static_cast<std::uint32_t>(buffer.size()), timeoutMs_, &moved);
    check(WdmusbCallWrite, error, "writing " + std::to_string(buffer.size()) + " bytes", moved);
    return moved;
}

std::vector<std::uint8_t> Device::configurationDescriptor() {
    const std::string doing = "reading the configuration descriptor";
    std::uint32_t length = 0;
    std::uint32_t error = WdmusbGetConfigurationDescriptor(device_, nullptr, 0, &length);
    std::vector<std::uint8_t> bytes(length);
    if (error == ERROR_INSUFFICIENT_BUFFER)
        error = WdmusbGetConfigurationDescriptor(device_, bytes.data(), length, &length);
    check(WdmusbCallDescriptor, error, doing);
    bytes.resize(length);
    return bytes;
}

void Device::reset() {
    check(WdmusbCallReset, WdmusbResetPort(device_), "resetting the device's port");
}

std::vector<std::uint8_t> Device::vendorIn(std::uint8_t request, std::uint16_t value,
                                           std::uint16_t index, std::uint16_t length) {
    std::vector<std::uint8_t> data(length);
    check(WdmusbCallVendor, WdmusbVendorIn(device_, request, value, index, data.data(), length),
          "sending the vendor request");
    return data;
}

void Device::vendorOut(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                       std::span<const std::uint8_t> data) {
    check(WdmusbCallVendor,
          WdmusbVendorOut(device_, request, value, index, data.data(),
                          static_cast<std::uint16_t>(data.size())),
          "sending the vendor request");
}

} // namespace wdmusbctl
