// A configuration descriptor and everything under it, decoded line by line in the manner of
// `lsusb -v`. Pure: the same on both platforms and tested on its own.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace wdmusbctl {

// The lines, indented by nesting. Malformed bytes (a length of 0, a descriptor running past the
// end, a wTotalLength that disagrees with the bytes) end the decoding with a line saying where.
std::vector<std::string> decodeConfiguration(std::span<const std::uint8_t> bytes);

} // namespace wdmusbctl
