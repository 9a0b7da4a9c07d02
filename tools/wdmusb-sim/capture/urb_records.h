// What the capture records of a URB: its submit (going down, with the setup packet of a control
// transfer and the data of an OUT transfer) and its completion (coming back, with the USB status
// and the data of an IN transfer), in the form Wireshark decodes for this platform.
//
// SELECT_CONFIGURATION is recorded as the SET_CONFIGURATION request the bus makes of it, and
// GET_DESCRIPTOR_FROM_DEVICE as its GET_DESCRIPTOR request; URBs that move no data (ABORT_PIPE,
// RESET_PIPE) are IRP information records on their pipe's endpoint.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/host/host_platform.h"
#include "tools/wdmusb-sim/capture/usbpcap_record.h"

namespace sim::usb {
class BusDevice;
}

namespace wdmusbsim {

// A record with the bytes it carries, owned.
struct CapturedUrb {
    UsbPcapRecord record;
    std::vector<std::uint8_t> data;

    std::vector<std::uint8_t> bytes() const {
        UsbPcapRecord whole = record;
        whole.data = data;
        return encode(whole);
    }
};

// The record of a URB the bus was given (completion false) or is completing (true). Reads only
// what lies inside the URB's pool block and the buffers it names; anything unreadable is left out.
CapturedUrb captureUrb(const sim::usb::BusDevice& device, const URB& urb, PIRP irp,
                       bool completion);

} // namespace wdmusbsim
