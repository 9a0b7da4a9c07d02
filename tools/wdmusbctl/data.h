// The bytes wdmusbctl sends and shows: a test pattern, its check, hex text both ways.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace wdmusbctl {

// `size` bytes of the pattern for round `round`: different in every 512-byte packet and every
// round, so that a packet lost, repeated or taken from an earlier round shows.
std::vector<std::uint8_t> pattern(std::size_t size, std::uint32_t round);

struct Mismatch {
    std::size_t offset;
    std::uint8_t expected;
    std::uint8_t actual;
};
// The differences between what was written and what was read back, the first `limit` of them;
// a length difference counts as one mismatch at the end of the shorter one. `total` gets them all.
std::vector<Mismatch> compare(std::span<const std::uint8_t> expected,
                              std::span<const std::uint8_t> actual, std::size_t limit,
                              std::size_t& total);

// "de ad BE EF", "deadbeef", "0xde,0xad": two hex digits a byte, separators ignored. Nothing
// when the text is not that.
std::optional<std::vector<std::uint8_t>> parseHex(const std::string& text);

// 16 bytes a line: offset, hex, printable characters.
std::vector<std::string> hexDump(std::span<const std::uint8_t> bytes);

} // namespace wdmusbctl
