#include "tools/wdmusbctl/data.h"

#include <cctype>
#include <cstdio>

namespace wdmusbctl {

std::vector<std::uint8_t> pattern(std::size_t size, std::uint32_t round) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9) + round * 31);
    return bytes;
}

std::vector<Mismatch> compare(std::span<const std::uint8_t> expected,
                              std::span<const std::uint8_t> actual, std::size_t limit,
                              std::size_t& total) {
    std::vector<Mismatch> found;
    total = 0;
    const std::size_t common = std::min(expected.size(), actual.size());
    const auto add = [&](Mismatch m) {
        if (found.size() < limit)
            found.push_back(m);
        ++total;
    };
    for (std::size_t i = 0; i < common; ++i)
        if (expected[i] != actual[i])
            add({i, expected[i], actual[i]});
    if (expected.size() != actual.size())
        add({common, common < expected.size() ? expected[common] : std::uint8_t{0},
             common < actual.size() ? actual[common] : std::uint8_t{0}});
    return found;
}

std::optional<std::vector<std::uint8_t>> parseHex(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '0' && high < 0 && i + 1 < text.size() &&
            (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            ++i; // a 0x prefix
            continue;
        }
        if (c == ' ' || c == ',' || c == ':' || c == '-') {
            if (high >= 0)
                return std::nullopt; // half a byte
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        const int digit = std::isdigit(static_cast<unsigned char>(c))
                              ? c - '0'
                              : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0 || bytes.empty())
        return std::nullopt;
    return bytes;
}

std::vector<std::string> hexDump(std::span<const std::uint8_t> bytes) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < bytes.size(); at += 16) {
        char line[96];
        int used = std::snprintf(line, sizeof line, "%08zx ", at);
        std::string shown;
        for (std::size_t i = 0; i < 16; ++i) {
            if (at + i < bytes.size()) {
                const std::uint8_t b = bytes[at + i];
                used += std::snprintf(line + used, sizeof line - used, " %02x", b);
                shown.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.');
            } else {
                used += std::snprintf(line + used, sizeof line - used, "   ");
            }
            if (i == 7)
                used += std::snprintf(line + used, sizeof line - used, " ");
        }
        lines.push_back(std::string(line) + "  |" + shown + "|");
    }
    return lines;
}

} // namespace wdmusbctl
