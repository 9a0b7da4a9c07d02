// What the host controller can schedule: each endpoint at the device's speed, and the periodic
// endpoints of a configuration together in one (micro)frame.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/usb/endpoint_schedule.h"
#include "sim/usb/status_map.h"

namespace wdmusb::test {
namespace {

using sim::usb::ParsedEndpoint;
using sim::usb::ParsedInterface;
using sim::usb::UsbSpeed;

constexpr UCHAR kControl = 0, kIsochronous = 1, kBulk = 2, kInterrupt = 3;
constexpr USBD_STATUS kFits = USBD_STATUS_SUCCESS;
constexpr USBD_STATUS kBad = sim::usb::kUsbdBadEndpointDescriptor;
constexpr USBD_STATUS kNoBandwidth = sim::usb::kUsbdNoBandwidth;

ParsedInterface interfaceOf(std::vector<ParsedEndpoint> endpoints) {
    ParsedInterface i;
    i.declaredEndpoints = static_cast<UCHAR>(endpoints.size());
    i.endpoints = std::move(endpoints);
    return i;
}

USBD_STATUS verdict(const std::vector<ParsedInterface>& interfaces, UsbSpeed speed,
                    std::string* reason = nullptr) {
    std::vector<const ParsedInterface*> chosen;
    for (const auto& i : interfaces)
        chosen.push_back(&i);
    const auto refusal = sim::usb::scheduleRefusal(chosen, speed);
    if (refusal && reason != nullptr)
        *reason = refusal->reason;
    return refusal ? refusal->status : kFits;
}

TEST(EndpointScheduleTest, EachEndpointMustSuitTheDevicesSpeed) {
    struct Case {
        const char* what;
        UsbSpeed speed;
        ParsedEndpoint endpoint; // address, attributes, wMaxPacketSize, bInterval
        USBD_STATUS expected;
    };
    const Case cases[] = {
        {"high-speed bulk of 512", UsbSpeed::High, {0x81, kBulk, 512, 0}, kFits},
        {"high-speed bulk of 64", UsbSpeed::High, {0x81, kBulk, 64, 0}, kBad},
        {"high-speed bulk of 0", UsbSpeed::High, {0x02, kBulk, 0, 0}, kBad},
        {"full-speed bulk of 64", UsbSpeed::Full, {0x02, kBulk, 64, 0}, kFits},
        {"full-speed bulk of 512", UsbSpeed::Full, {0x02, kBulk, 512, 0}, kBad},
        {"full-speed bulk of 0", UsbSpeed::Full, {0x81, kBulk, 0, 0}, kBad},
        {"low-speed bulk", UsbSpeed::Low, {0x81, kBulk, 8, 0}, kBad},
        {"bulk with extra transactions", UsbSpeed::High, {0x81, kBulk, 512 | 1 << 11, 0}, kBad},
        {"reserved packet-size bits", UsbSpeed::High, {0x81, kBulk, 512 | 0x8000, 0}, kBad},
        {"endpoint number 0", UsbSpeed::High, {0x80, kBulk, 512, 0}, kBad},
        {"full-speed control of 16", UsbSpeed::Full, {0x03, kControl, 16, 0}, kFits},
        {"high-speed control of 16", UsbSpeed::High, {0x03, kControl, 16, 0}, kBad},
        {"low-speed interrupt of 8", UsbSpeed::Low, {0x81, kInterrupt, 8, 10}, kFits},
        {"low-speed interrupt of 9", UsbSpeed::Low, {0x81, kInterrupt, 9, 10}, kBad},
        {"full-speed interrupt of 0", UsbSpeed::Full, {0x81, kInterrupt, 0, 10}, kBad},
        {"full-speed interrupt, interval 0", UsbSpeed::Full, {0x81, kInterrupt, 64, 0}, kBad},
        {"full-speed interrupt, interval 255", UsbSpeed::Full, {0x81, kInterrupt, 64, 255}, kFits},
        {"high-speed interrupt, interval 17", UsbSpeed::High, {0x81, kInterrupt, 64, 17}, kBad},
        {"high-speed interrupt, 3 x 1024",
         UsbSpeed::High,
         {0x81, kInterrupt, 1024 | 2 << 11, 1},
         kFits},
        {"high-speed interrupt, 2 x 512",
         UsbSpeed::High,
         {0x81, kInterrupt, 512 | 1 << 11, 4},
         kBad},
        {"full-speed interrupt, 2 transactions",
         UsbSpeed::Full,
         {0x81, kInterrupt, 64 | 1 << 11, 1},
         kBad},
        {"full-speed isochronous of 0", UsbSpeed::Full, {0x81, kIsochronous, 0, 1}, kFits},
        {"full-speed isochronous of 1023", UsbSpeed::Full, {0x81, kIsochronous, 1023, 1}, kFits},
        {"full-speed isochronous of 1024", UsbSpeed::Full, {0x81, kIsochronous, 1024, 1}, kBad},
        {"isochronous, interval 0", UsbSpeed::High, {0x81, kIsochronous, 1024, 0}, kBad},
        {"low-speed isochronous", UsbSpeed::Low, {0x81, kIsochronous, 8, 1}, kBad},
    };
    for (const Case& c : cases) {
        std::string reason;
        EXPECT_EQ(verdict({interfaceOf({c.endpoint})}, c.speed, &reason), c.expected)
            << c.what << ": " << reason;
    }
}

TEST(EndpointScheduleTest, TheEndpointsOfAConfigurationMustFitTogether) {
    const ParsedEndpoint bulkIn{0x81, kBulk, 64, 0};
    const ParsedEndpoint bulkOut{0x02, kBulk, 64, 0};
    const ParsedEndpoint iso{0x83, kIsochronous, 1000, 1};
    const ParsedEndpoint isoOut{0x04, kIsochronous, 1000, 1};
    const ParsedEndpoint slowInterrupt{0x85, kInterrupt, 64, 8};
    const ParsedEndpoint everyFrame{0x86, kInterrupt, 64, 1};
    struct Case {
        const char* what;
        std::vector<ParsedInterface> interfaces;
        UsbSpeed speed;
        USBD_STATUS expected;
    };
    const Case cases[] = {
        {"IN and OUT of one number",
         {interfaceOf({bulkIn, {0x01, kBulk, 64, 0}})},
         UsbSpeed::Full,
         kFits},
        {"an address twice in one interface",
         {interfaceOf({bulkIn, bulkIn})},
         UsbSpeed::Full,
         kBad},
        {"an address in two interfaces",
         {interfaceOf({bulkIn}), interfaceOf({bulkIn})},
         UsbSpeed::Full,
         kBad},
        {"two isochronous of 1000 at full speed",
         {interfaceOf({iso, isoOut})},
         UsbSpeed::Full,
         kNoBandwidth},
        {"two isochronous of 1000 at high speed",
         {interfaceOf({iso, isoOut})},
         UsbSpeed::High,
         kFits},
        {"isochronous and an interrupt every frame",
         {interfaceOf({iso, everyFrame}), interfaceOf({{0x87, kInterrupt, 64, 1},
                                                       {0x88, kInterrupt, 64, 1},
                                                       {0x89, kInterrupt, 64, 1},
                                                       {0x8A, kInterrupt, 64, 1},
                                                       {0x8B, kInterrupt, 64, 1}})},
         UsbSpeed::Full,
         kNoBandwidth},
        {"isochronous and interrupts spread over frames",
         {interfaceOf({iso, slowInterrupt, bulkOut})},
         UsbSpeed::Full,
         kFits},
    };
    for (const Case& c : cases) {
        std::string reason;
        EXPECT_EQ(verdict(c.interfaces, c.speed, &reason), c.expected) << c.what << ": " << reason;
    }
}

} // namespace
} // namespace wdmusb::test
