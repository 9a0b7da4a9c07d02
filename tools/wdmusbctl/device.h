// The device as an application holds it, through the application library (public/wdmusb_api.h):
// found by its interface class, opened by its number, and the driver's requests on the handle.
// Every failure throws a Failure naming what was being done.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "public/wdmusb_api.h"

namespace wdmusbctl {

// The device paths of the present interfaces of the driver's class, in the platform's order.
std::vector<std::string> listInterfaces();

// "1209", "0001" from a device path holding "VID_1209&PID_0001" (any case); empty when not there.
struct VendorProduct {
    std::string vendor;
    std::string product;
};
VendorProduct vendorProductFromPath(const std::string& path);

class Device {
public:
    // Opens the interface numbered `index` in listInterfaces(), for reading and writing. A read
    // or write that has not ended after `timeoutMs` is cancelled and fails (ERROR_SEM_TIMEOUT):
    // a read waits as long as the device has nothing to send. Ctrl-C cancels the request in
    // flight (interrupt.h).
    Device(unsigned index, std::uint32_t timeoutMs);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const std::string& path() const { return path_; }

    // The bytes moved; the driver may move fewer than asked (at most 65536 at once).
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
    // Throws for a call that failed, saying what a read or write had moved; a request the
    // system still holds ends the program.
    void check(WdmusbCall call, std::uint32_t error, const std::string& doing,
               std::uint32_t moved = 0) const;

    WdmusbDevice* device_ = nullptr;
    std::string path_;
    std::uint32_t timeoutMs_;
};

} // namespace wdmusbctl
