// What a host controller checks when a configuration is selected: every endpoint of the
// interfaces chosen must be one it can schedule at the device's speed (USB 2.0, 5.5-5.8 and
// 9.6.6), and the periodic ones must fit in a (micro)frame together. A real bus refuses the
// select-configuration otherwise, and the function driver's start fails.
//
// Refused, with USBD_STATUS_BAD_ENDPOINT_DESCRIPTOR:
//   - endpoint number 0 (the default pipe is never described), or an address used twice;
//   - a maximum packet size of 0 (isochronous endpoints excepted: a zero-bandwidth setting is
//     how an interface leaves its isochronous endpoints idle), or one the transfer type does not
//     allow at the speed: control 8 (low speed), 8/16/32/64 (full), 64 (high); bulk 8/16/32/64
//     (full), 512 (high), none at low speed; interrupt up to 8 (low), 64 (full), 1024 with up to
//     two more transactions per microframe (high); isochronous up to 1023 (full), 1024 with up to
//     two more transactions (high), none at low speed;
//   - a polling interval outside 1-255 ms (low- and full-speed interrupt) or 1-16 (high-speed
//     interrupt and every isochronous endpoint, as an exponent).
// Refused, with USBD_STATUS_NO_BANDWIDTH: periodic endpoints whose packets together exceed what
// a (micro)frame may carry for them: 90 % of a full-speed frame (1350 bytes, a low-speed byte
// costing eight), 80 % of a high-speed microframe (6000 bytes).
#pragma once

#include <optional>
#include <span>
#include <string>

#include "sim/usb/descriptor_walk.h"
#include "sim/usb/device_model.h"

namespace sim::usb {

struct ScheduleRefusal {
    USBD_STATUS status;
    std::string reason; // "endpoint 0x81: bulk packets of 64 bytes at high speed", for traces
};

// Why the endpoints of `interfaces` cannot be scheduled together at `speed`; empty when they can.
std::optional<ScheduleRefusal> scheduleRefusal(std::span<const ParsedInterface* const> interfaces,
                                               UsbSpeed speed);

} // namespace sim::usb
