// The device extension of the bus driver's PDOs: the way back from a PDO to its BusDevice.
#pragma once

#include <cstdint>

namespace sim::usb {

class BusDevice;

struct PdoExtension {
    static constexpr std::uint32_t kSignature = 0x4F445055; // "UPDO"
    std::uint32_t signature = 0;
    BusDevice* device = nullptr;
};

} // namespace sim::usb
