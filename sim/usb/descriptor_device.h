// A device built from any descriptor bytes a test gives, well-formed or not. Its default pipe and
// endpoints behave as the loopback device's do (OUT bytes come back on IN, vendor memory), so a
// test can vary the descriptors alone.
#pragma once

#include "sim/usb/loopback_device.h"

namespace sim::usb {

class DescriptorDevice : public LoopbackDevice {
public:
    // configuration: the bytes returned for GET_DESCRIPTOR(CONFIGURATION, 0), as given (no
    // length is corrected). Other configuration indexes stall.
    DescriptorDevice(std::vector<std::uint8_t> device, std::vector<std::uint8_t> configuration)
        : device_(std::move(device)), configuration_(std::move(configuration)) {}

    std::vector<std::uint8_t> deviceDescriptor() override { return device_; }
    std::vector<std::uint8_t> configurationDescriptor(UCHAR index) override {
        return index == 0 ? configuration_ : std::vector<std::uint8_t>{};
    }

private:
    std::vector<std::uint8_t> device_;
    std::vector<std::uint8_t> configuration_;
};

} // namespace sim::usb
