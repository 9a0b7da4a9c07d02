// The device as an application holds it: found by its interface class, opened by its path, and
// the driver's requests on the handle. Every failure throws a Failure naming what was being done.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace wdmusbctl {

// The device paths of the enabled interfaces of the driver's class, in the platform's order.
std::vector<std::string> listInterfaces();

// "1209", "0001" from a device path holding "VID_1209&PID_0001" (any case); empty when not there.
struct VendorProduct {
    std::string vendor;
    std::string product;
};
VendorProduct vendorProductFromPath(const std::string& path);

class Device {
public:
    // Opens the interface numbered `index` in listInterfaces(), for reading and writing. A
    // request that has not ended after `timeoutMs` is cancelled and fails (ERROR_SEM_TIMEOUT):
    // a read waits as long as the device has nothing to send.
    Device(unsigned index, std::uint32_t timeoutMs);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const std::string& path() const { return path_; }

    // The bytes moved; the driver may move fewer than asked.
    std::uint32_t read(std::span<std::uint8_t> buffer);
    std::uint32_t write(std::span<const std::uint8_t> buffer);
    // The configuration descriptor with everything under it (wTotalLength bytes).
    std::vector<std::uint8_t> configurationDescriptor();
    void reset();
    // A vendor request on the default pipe; an IN request returns the bytes read, an OUT request
    // sends `data` (its size is the request's length).
    std::vector<std::uint8_t> vendorIn(std::uint8_t request, std::uint16_t value,
                                       std::uint16_t index, std::uint16_t length);
    void vendorOut(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                   std::span<const std::uint8_t> data);

private:
    std::uint32_t control(std::uint32_t code, void* in, std::uint32_t inBytes, void* out,
                          std::uint32_t outBytes, const std::string& doing,
                          bool moreDataOk = false);
    // Waits for a request started with `started` (the call's result) and returns the bytes it
    // moved; a failure, or the timeout, throws naming `doing`. With moreDataOk, ERROR_MORE_DATA
    // (a buffer too short for all there is) counts as success.
    std::uint32_t finish(bool started, const std::string& doing, bool moreDataOk = false);
    void vendor(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                std::uint16_t index, std::span<std::uint8_t> data);

    std::string path_;
    std::uint32_t timeoutMs_;
    void* handle_;
    void* event_ = nullptr;
    struct Pending;
    Pending* pending_ = nullptr; // the OVERLAPPED record of the request in flight
};

} // namespace wdmusbctl
