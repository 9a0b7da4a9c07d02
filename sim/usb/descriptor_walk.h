// Reading descriptor sets that may be malformed (USB 2.0, 9.6): every read stays inside the bytes
// given, a zero or too-short bLength ends the walk, and a descriptor running past the end is not
// returned. Used by the USBD library routines and by the bus's select-configuration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/host/host_platform.h"

namespace sim::usb {

// The descriptor starting at `offset`, whole and inside `bytes`; empty at the end of the set or
// where it is malformed.
std::optional<std::span<const std::uint8_t>> descriptorAt(std::span<const std::uint8_t> bytes,
                                                          std::size_t offset);

struct ParsedEndpoint {
    UCHAR address = 0;
    UCHAR attributes = 0;
    USHORT maxPacketSize = 0;
    UCHAR interval = 0;
};

struct ParsedInterface {
    std::size_t offset = 0; // of its interface descriptor
    UCHAR number = 0;
    UCHAR alternate = 0;
    UCHAR interfaceClass = 0;
    UCHAR subClass = 0;
    UCHAR protocol = 0;
    UCHAR declaredEndpoints = 0;           // bNumEndpoints
    std::vector<ParsedEndpoint> endpoints; // the endpoint descriptors that follow it
};

struct ParsedConfiguration {
    USHORT totalLength = 0;
    UCHAR declaredInterfaces = 0; // bNumInterfaces
    UCHAR value = 0;              // bConfigurationValue
    std::vector<ParsedInterface> interfaces;

    const ParsedInterface* find(UCHAR number, UCHAR alternate) const;
};

// Parses a configuration descriptor set, reading no further than min(bytes.size(), wTotalLength).
// Empty when the bytes do not start with a whole configuration descriptor.
std::optional<ParsedConfiguration> parseConfiguration(std::span<const std::uint8_t> bytes);

} // namespace sim::usb
