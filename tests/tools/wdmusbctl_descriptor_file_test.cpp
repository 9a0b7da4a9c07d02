// The simulator build's --descriptors file: raw bytes or hex text, split into the device
// descriptor and the configuration descriptor; mistakes named with the file and line.
#include <gtest/gtest.h>

#include <numeric>

#include "tools/wdmusbctl/descriptor_file.h"
#include "tools/wdmusbctl/errors.h"

namespace wdmusbctl {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

Bytes counting(std::size_t n, std::uint8_t first = 0x12) {
    Bytes bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

TEST(WdmusbctlDescriptorFile, RawOrHexTextIsSplitAfterTheDeviceDescriptor) {
    const std::string eighteen = "12 01 00 02 ff 00 00 40 09 12 01 00 00 01 00 00 00 01";
    const struct {
        const char* name;
        Bytes content;
        std::size_t device;
        Bytes configuration;
    } cases[] = {
        {"raw", counting(27), 18, counting(9, 0x12 + 18)},
        {"hex text, comments, tabs and CRLF",
         bytesOf("# a device\r\n" + eighteen +
                 "\r\n\t09:02:09:00 # header only\r\n01 01 00 80 32\n"),
         18, Bytes{9, 2, 9, 0, 1, 1, 0, 0x80, 0x32}},
        {"only the device descriptor", bytesOf(eighteen + "\n"), 18, Bytes{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const DescriptorBytes bytes = readDescriptorBytes("dev.txt", c.content);
        EXPECT_EQ(bytes.device.size(), c.device);
        EXPECT_EQ(bytes.configuration, c.configuration);
    }
}

TEST(WdmusbctlDescriptorFile, MistakesNameTheFileAndLineAndAreBadArguments) {
    const struct {
        Bytes content;
        const char* message;
    } cases[] = {
        {bytesOf("12 01\n\n0g 02\n"), "dev.txt:3: not hex bytes: '0g 02'"},
        {bytesOf("12 0\n"), "dev.txt:1: not hex bytes"},
        {bytesOf("12 01 00 02\n"), "dev.txt: 4 byte(s): expected the 18 bytes"},
        {Bytes{}, "dev.txt: 0 byte(s)"},
        {counting(17), "dev.txt: 17 byte(s)"},
    };
    for (const auto& c : cases) {
        try {
            readDescriptorBytes("dev.txt", c.content);
            ADD_FAILURE() << "accepted; expected " << c.message;
        } catch (const Failure& failure) {
            EXPECT_NE(std::string(failure.what()).find(c.message), std::string::npos)
                << failure.what();
            EXPECT_EQ(failure.exit(), Exit::BadArgument);
        }
    }
}

} // namespace
} // namespace wdmusbctl
