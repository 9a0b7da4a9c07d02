// A device built from any descriptor bytes a test gives, well-formed or not. Its default pipe and
// endpoints behave as the loopback device's do (OUT bytes come back on IN, vendor memory), so a
// test can vary the descriptors alone.
#pragma once

#include <optional>

#include "sim/usb/loopback_device.h"

namespace sim::usb {

class DescriptorDevice : public LoopbackDevice {
public:
    // configuration: the bytes returned for GET_DESCRIPTOR(CONFIGURATION, 0), as given (no
    // length is corrected). Other configuration indexes stall. The device runs at `speed`, or,
    // when none is given, at the speed its device descriptor suggests (speedSuggestedBy).
    DescriptorDevice(std::vector<std::uint8_t> device, std::vector<std::uint8_t> configuration,
                     std::optional<UsbSpeed> speed = std::nullopt)
        : device_(std::move(device)), configuration_(std::move(configuration)),
          speed_(speed.value_or(speedSuggestedBy(device_))) {}

    std::vector<std::uint8_t> deviceDescriptor() override { return device_; }
    std::vector<std::uint8_t> configurationDescriptor(UCHAR index) override {
        return index == 0 ? configuration_ : std::vector<std::uint8_t>{};
    }
    UsbSpeed speed() override { return speed_; }

    // High speed for a device of USB 2.0 or later (bcdUSB, bytes 2-3), full speed for an earlier
    // one or a descriptor too short to say. A USB 2.0 device that runs at full speed must be
    // given its speed.
    static UsbSpeed speedSuggestedBy(const std::vector<std::uint8_t>& device) {
        if (device.size() < 4)
            return UsbSpeed::Full;
        const unsigned bcdUsb = device[2] | device[3] << 8;
        return bcdUsb >= 0x0200 ? UsbSpeed::High : UsbSpeed::Full;
    }

private:
    std::vector<std::uint8_t> device_;
    std::vector<std::uint8_t> configuration_;
    UsbSpeed speed_;
};

} // namespace sim::usb
