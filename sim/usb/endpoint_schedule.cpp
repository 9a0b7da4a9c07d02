#include "sim/usb/endpoint_schedule.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <vector>

#include "sim/usb/status_map.h"

namespace sim::usb {

namespace {

constexpr UCHAR kControl = 0;
constexpr UCHAR kIsochronous = 1;
constexpr UCHAR kBulk = 2;
constexpr UCHAR kInterrupt = 3;

constexpr UCHAR kEndpointNumberMask = 0x0F;
constexpr USHORT kSizeMask = 0x07FF;               // wMaxPacketSize bits 10:0
constexpr USHORT kReservedMask = 0xE000;           // bits 15:13
constexpr unsigned kFullSpeedPeriodicBytes = 1350; // 90 % of a 1500-byte frame
constexpr unsigned kHighSpeedPeriodicBytes = 6000; // 80 % of a 7500-byte microframe
constexpr unsigned kLowSpeedByteCost = 8;          // a low-speed byte takes eight bit times

const char* speedName(UsbSpeed speed) {
    switch (speed) {
    case UsbSpeed::Low:
        return "low";
    case UsbSpeed::Full:
        return "full";
    case UsbSpeed::High:
        return "high";
    }
    return "?";
}

const char* typeName(UCHAR type) {
    static constexpr const char* kNames[] = {"control", "isochronous", "bulk", "interrupt"};
    return kNames[type & USB_ENDPOINT_TYPE_MASK];
}

bool oneOf(unsigned value, std::initializer_list<unsigned> allowed) {
    return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

// Transactions per microframe beyond the first (high-speed periodic endpoints only), and the
// packet size each needs at least (USB 2.0, table 9-14).
bool highBandwidthFits(unsigned size, unsigned extra) {
    return extra == 0 || (extra == 1 && size >= 513) || (extra == 2 && size >= 683);
}

bool packetSizeAllowed(UCHAR type, unsigned size, unsigned extra, UsbSpeed speed) {
    const bool high = speed == UsbSpeed::High;
    if (extra != 0 && (!high || type == kControl || type == kBulk))
        return false;
    switch (type) {
    case kControl:
        return high                      ? size == 64
               : speed == UsbSpeed::Full ? oneOf(size, {8, 16, 32, 64})
                                         : size == 8;
    case kBulk:
        return high ? size == 512 : speed == UsbSpeed::Full && oneOf(size, {8, 16, 32, 64});
    case kInterrupt:
        return size > 0 && (high ? size <= 1024 && highBandwidthFits(size, extra)
                                 : size <= (speed == UsbSpeed::Full ? 64u : 8u));
    default: // isochronous
        return speed != UsbSpeed::Low &&
               (high ? size <= 1024 && highBandwidthFits(size, extra) : size <= 1023);
    }
}

bool intervalAllowed(UCHAR type, UCHAR interval, UsbSpeed speed) {
    if (type == kIsochronous || (type == kInterrupt && speed == UsbSpeed::High))
        return interval >= 1 && interval <= 16;
    if (type == kInterrupt)
        return interval >= 1;
    return true; // bulk and control: not a polling interval
}

std::string endpointText(const ParsedEndpoint& e) {
    char text[64];
    std::snprintf(text, sizeof(text), "endpoint 0x%02X (%s)", e.address, typeName(e.attributes));
    return text;
}

std::optional<std::string> endpointRefusal(const ParsedEndpoint& e, UsbSpeed speed) {
    const UCHAR type = e.attributes & USB_ENDPOINT_TYPE_MASK;
    const unsigned size = e.maxPacketSize & kSizeMask;
    const unsigned extra = (e.maxPacketSize >> 11) & 0x3;
    if ((e.address & kEndpointNumberMask) == 0)
        return endpointText(e) + ": endpoint number 0 is the default pipe";
    if ((e.maxPacketSize & kReservedMask) != 0 || !packetSizeAllowed(type, size, extra, speed))
        return endpointText(e) + ": packets of " + std::to_string(size) +
               (extra != 0 ? " bytes x" + std::to_string(extra + 1) : std::string(" bytes")) +
               " at " + speedName(speed) + " speed";
    if (!intervalAllowed(type, e.interval, speed))
        return endpointText(e) + ": interval " + std::to_string(e.interval) + " at " +
               speedName(speed) + " speed";
    return std::nullopt;
}

// The bytes an endpoint must move in every (micro)frame: isochronous endpoints and interrupt
// endpoints polled every (micro)frame. Longer intervals can be spread over frames and count
// nothing here.
unsigned periodicBytesPerFrame(const ParsedEndpoint& e, UsbSpeed speed) {
    const UCHAR type = e.attributes & USB_ENDPOINT_TYPE_MASK;
    const bool everyFrame = type == kIsochronous || (type == kInterrupt && e.interval == 1);
    if (!everyFrame)
        return 0;
    const unsigned bytes = (e.maxPacketSize & kSizeMask) * (((e.maxPacketSize >> 11) & 0x3) + 1);
    return speed == UsbSpeed::Low ? bytes * kLowSpeedByteCost : bytes;
}

} // namespace

std::optional<ScheduleRefusal> scheduleRefusal(std::span<const ParsedInterface* const> interfaces,
                                               UsbSpeed speed) {
    std::vector<UCHAR> addresses;
    unsigned periodic = 0;
    for (const ParsedInterface* i : interfaces) {
        for (UCHAR n = 0; n < i->declaredEndpoints && n < i->endpoints.size(); ++n) {
            const ParsedEndpoint& e = i->endpoints[n];
            if (auto reason = endpointRefusal(e, speed))
                return ScheduleRefusal{kUsbdBadEndpointDescriptor, std::move(*reason)};
            if (std::find(addresses.begin(), addresses.end(), e.address) != addresses.end())
                return ScheduleRefusal{kUsbdBadEndpointDescriptor,
                                       endpointText(e) + ": address used twice"};
            addresses.push_back(e.address);
            periodic += periodicBytesPerFrame(e, speed);
        }
    }
    const unsigned budget =
        speed == UsbSpeed::High ? kHighSpeedPeriodicBytes : kFullSpeedPeriodicBytes;
    if (periodic > budget)
        return ScheduleRefusal{kUsbdNoBandwidth,
                               std::to_string(periodic) + " periodic bytes per " +
                                   (speed == UsbSpeed::High ? "microframe" : "frame") +
                                   ", more than the " + std::to_string(budget) + " allowed"};
    return std::nullopt;
}

} // namespace sim::usb
