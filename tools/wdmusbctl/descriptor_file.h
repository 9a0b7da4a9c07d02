// The simulator build's device from descriptor bytes: what a file given with --descriptors holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wdmusbctl {

// A device descriptor and the configuration descriptor that follows it (with its interfaces and
// endpoints); `configuration` is empty when the file holds only the device descriptor.
struct DescriptorBytes {
    std::vector<std::uint8_t> device;
    std::vector<std::uint8_t> configuration;
};

// The bytes of a file as it is: raw bytes (a dump of the descriptors), or text of hex bytes as a
// scenario's descriptor= takes them ("12 01 00 02 ...", "de:ad", a `#` starts a comment). The
// first 18 bytes are the device descriptor, the rest the configuration descriptor, as given (no
// length is checked: a broken device is what such a file is often for). Throws a Failure (bad
// argument) naming the file and line of text that is not hex bytes, or a file too short.
DescriptorBytes readDescriptorBytes(const std::string& path,
                                    const std::vector<std::uint8_t>& content);

} // namespace wdmusbctl
