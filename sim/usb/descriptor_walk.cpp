#include "sim/usb/descriptor_walk.h"

#include <algorithm>

namespace sim::usb {

namespace {

constexpr std::size_t kCommonHeaderBytes = 2; // bLength, bDescriptorType

USHORT readWord(std::span<const std::uint8_t> d, std::size_t at) {
    return static_cast<USHORT>(d[at] | d[at + 1] << 8);
}

ParsedInterface interfaceFrom(std::span<const std::uint8_t> d, std::size_t offset) {
    ParsedInterface i;
    i.offset = offset;
    i.number = d[2];
    i.alternate = d[3];
    i.declaredEndpoints = d[4];
    i.interfaceClass = d[5];
    i.subClass = d[6];
    i.protocol = d[7];
    return i;
}

ParsedEndpoint endpointFrom(std::span<const std::uint8_t> d) {
    return ParsedEndpoint{d[2], d[3], readWord(d, 4), d[6]};
}

} // namespace

std::optional<std::span<const std::uint8_t>> descriptorAt(std::span<const std::uint8_t> bytes,
                                                          std::size_t offset) {
    if (offset >= bytes.size() || bytes.size() - offset < kCommonHeaderBytes)
        return std::nullopt;
    const std::size_t length = bytes[offset];
    // A zero or one-byte length would never advance the walk: the set ends there.
    if (length < kCommonHeaderBytes || length > bytes.size() - offset)
        return std::nullopt;
    return bytes.subspan(offset, length);
}

const ParsedInterface* ParsedConfiguration::find(UCHAR number, UCHAR alternate) const {
    for (const auto& i : interfaces)
        if (i.number == number && i.alternate == alternate)
            return &i;
    return nullptr;
}

std::optional<ParsedConfiguration> parseConfiguration(std::span<const std::uint8_t> bytes) {
    auto header = descriptorAt(bytes, 0);
    if (!header || header->size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        (*header)[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return std::nullopt;
    ParsedConfiguration config;
    config.totalLength = readWord(*header, 2);
    config.declaredInterfaces = (*header)[4];
    config.value = (*header)[5];
    const auto set = bytes.first(std::min<std::size_t>(bytes.size(), config.totalLength));

    ParsedInterface* open = nullptr;
    for (std::size_t offset = header->size();;) {
        auto d = descriptorAt(set, offset);
        if (!d)
            break;
        const UCHAR type = (*d)[1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE &&
            d->size() >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            config.interfaces.push_back(interfaceFrom(*d, offset));
            open = &config.interfaces.back();
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                   d->size() >= sizeof(USB_ENDPOINT_DESCRIPTOR) && open != nullptr) {
            open->endpoints.push_back(endpointFrom(*d));
        }
        offset += d->size();
    }
    return config;
}

} // namespace sim::usb
