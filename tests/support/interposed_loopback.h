// The loopback device with a say of the test's before each bulk transfer: it may answer first,
// or act at that precise point of the transfer's service (cancel a request, release another).
#pragma once

#include <functional>
#include <optional>
#include <span>

#include "sim/usb/loopback_device.h"

namespace wdmusb::test {

class InterposedLoopback : public sim::usb::LoopbackDevice {
public:
    using Before = std::function<std::optional<sim::usb::TransferResult>(UCHAR endpoint)>;
    Before before; // set before the first transfer; called with the device's model lock held

    sim::usb::TransferResult transfer(UCHAR endpoint, std::span<std::uint8_t> data) override {
        if (before)
            if (auto answer = before(endpoint))
                return *answer;
        return LoopbackDevice::transfer(endpoint, data);
    }
};

} // namespace wdmusb::test
