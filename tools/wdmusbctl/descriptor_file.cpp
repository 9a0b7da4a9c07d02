#include "tools/wdmusbctl/descriptor_file.h"

#include <algorithm>

#include "tools/wdmusbctl/data.h"
#include "tools/wdmusbctl/errors.h"

namespace wdmusbctl {

namespace {

constexpr std::size_t kDeviceDescriptorLength = 18;

bool isText(const std::vector<std::uint8_t>& content) {
    return std::all_of(content.begin(), content.end(), [](std::uint8_t c) {
        return (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\r' || c == '\t';
    });
}

std::vector<std::uint8_t> hexLines(const std::string& path, const std::string& text) {
    std::vector<std::uint8_t> bytes;
    std::size_t number = 0;
    for (std::size_t start = 0; start <= text.size(); ++number) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        std::string line = text.substr(start, end - start);
        start = end + 1;
        line = line.substr(0, line.find('#'));
        std::replace_if(
            line.begin(), line.end(), [](char c) { return c == '\t' || c == '\r'; }, ' ');
        if (line.find_first_not_of(' ') == std::string::npos)
            continue;
        const auto parsed = parseHex(line);
        if (!parsed) {
            std::string message = path;
            message.append(":").append(std::to_string(number + 1));
            message.append(": not hex bytes: '").append(line);
            message.append("' (two digits a byte, e.g. 12 01 00 02)");
            throw Failure(message, 0, Exit::BadArgument);
        }
        bytes.insert(bytes.end(), parsed->begin(), parsed->end());
    }
    return bytes;
}

} // namespace

DescriptorBytes readDescriptorBytes(const std::string& path,
                                    const std::vector<std::uint8_t>& content) {
    std::vector<std::uint8_t> bytes =
        isText(content) ? hexLines(path, std::string(content.begin(), content.end())) : content;
    if (bytes.size() < kDeviceDescriptorLength)
        throw Failure(path + ": " + std::to_string(bytes.size()) +
                          " byte(s): expected the 18 bytes of a device descriptor, then the "
                          "configuration descriptor",
                      0, Exit::BadArgument);
    const auto split = bytes.begin() + kDeviceDescriptorLength;
    return {{bytes.begin(), split}, {split, bytes.end()}};
}

} // namespace wdmusbctl
