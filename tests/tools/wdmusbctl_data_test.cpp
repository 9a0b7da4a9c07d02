// wdmusbctl's pure parts: hex text both ways, the loopback pattern and its check, the error
// words and exit statuses, the device path's IDs, the descriptor decoder on good and broken bytes.
#include <gtest/gtest.h>

#include <algorithm>

#include "loopback/loopback_logic.h"
#include "tools/wdmusbctl/data.h"
#include "tools/wdmusbctl/descriptors.h"
#include "tools/wdmusbctl/device.h"
#include "tools/wdmusbctl/errors.h"
#include "tools/wdmusbctl/win32_api.h"

namespace wdmusbctl {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(WdmusbctlData, HexTextIsReadWithOrWithoutSeparatorsAndRefusedWhenMalformed) {
    struct Case {
        const char* text;
        std::optional<Bytes> bytes;
    };
    const Case cases[] = {
        {"de:ad:BE:ef", Bytes{0xde, 0xad, 0xbe, 0xef}},
        {"deadbeef", Bytes{0xde, 0xad, 0xbe, 0xef}},
        {"0x01 0x02,0x03", Bytes{1, 2, 3}},
        {"0", std::nullopt},   // half a byte
        {"d e", std::nullopt}, // a separator inside a byte
        {"zz", std::nullopt},  // not hex
        {"", std::nullopt},    // nothing
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseHex(c.text), c.bytes) << c.text;
}

TEST(WdmusbctlData, HexDumpShowsOffsetBytesAndText) {
    Bytes bytes(17);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>('A' + i);
    const std::vector<std::string> lines = hexDump(bytes);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|");
    EXPECT_EQ(lines[1].substr(0, 13), "00000010  51 ");
    EXPECT_NE(lines[1].find("|Q|"), std::string::npos);
}

TEST(WdmusbctlData, PatternDiffersInEveryPacketAndEveryRound) {
    const Bytes round0 = pattern(2048, 0);
    const Bytes round1 = pattern(2048, 1);
    EXPECT_NE(round0, round1);
    for (std::size_t packet = 1; packet < 4; ++packet)
        EXPECT_FALSE(std::equal(round0.begin(), round0.begin() + 512,
                                round0.begin() + static_cast<std::ptrdiff_t>(packet * 512)))
            << "packet " << packet << " repeats packet 0";
}

TEST(WdmusbctlData, CompareFindsEachDifferenceUpToTheLimitAndCountsThemAll) {
    struct Case {
        Bytes expected;
        Bytes actual;
        std::size_t limit;
        std::size_t total;
        std::vector<std::size_t> offsets;
    };
    const Case cases[] = {
        {{1, 2, 3}, {1, 2, 3}, 8, 0, {}},
        {{1, 2, 3}, {1, 9, 3}, 8, 1, {1}},
        {{1, 2, 3, 4}, {9, 9, 9, 9}, 2, 4, {0, 1}},
        {{1, 2, 3}, {1, 2}, 8, 1, {2}}, // short read: one mismatch where it ends
    };
    for (const Case& c : cases) {
        std::size_t total = 99;
        const std::vector<Mismatch> found = compare(c.expected, c.actual, c.limit, total);
        EXPECT_EQ(total, c.total);
        std::vector<std::size_t> offsets;
        for (const Mismatch& m : found)
            offsets.push_back(m.offset);
        EXPECT_EQ(offsets, c.offsets);
    }
}

// The words and the exit status depend on the call as well as the error: what a second open
// means is not what a data stage the system could not lock means.
TEST(WdmusbctlErrors, EachErrorHasWordsForItsCallItsNameAndAnExitStatus) {
    struct Case {
        WdmusbCall call;
        std::uint32_t error;
        const char* words;
        Exit exit;
    };
    const Case cases[] = {
        {WdmusbCallRead, ERROR_BUSY, "busy: another read or write is in flight (ERROR_BUSY, 170)",
         Exit::Busy},
        {WdmusbCallOpen, ERROR_NO_SYSTEM_RESOURCES, "in use by another handle", Exit::Busy},
        {WdmusbCallVendor, ERROR_NO_SYSTEM_RESOURCES, "could not lock or map the data stage",
         Exit::DeviceError},
        {WdmusbCallOpen, ERROR_INVALID_HANDLE, "the driver refused the open", Exit::Busy},
        {WdmusbCallRead, ERROR_INVALID_HANDLE, "open the device again", Exit::Removed},
        {WdmusbCallRead, ERROR_ACCESS_DENIED, "stopping or being removed: the request was",
         Exit::Removed},
        {WdmusbCallAny, ERROR_DEVICE_NOT_CONNECTED, "(ERROR_DEVICE_NOT_CONNECTED, 1167)",
         Exit::Removed},
        {WdmusbCallOpen, ERROR_FILE_NOT_FOUND, "no such device", Exit::NoDevice},
        {WdmusbCallVendor, ERROR_GEN_FAILURE, "(ERROR_GEN_FAILURE, 31)", Exit::DeviceError},
        {WdmusbCallRead, ERROR_SEM_TIMEOUT, "the request was cancelled", Exit::DeviceError},
        {WdmusbCallVendor, ERROR_SEM_TIMEOUT, "did not answer within 5 seconds", Exit::DeviceError},
        {WdmusbCallRead, ERROR_OPERATION_ABORTED, "the request was cancelled", Exit::DeviceError},
        {WdmusbCallAny, 12345, "the library does not know (error 12345)", Exit::DeviceError},
    };
    for (const Case& c : cases) {
        const std::string words = describeError(c.call, c.error);
        EXPECT_NE(words.find(c.words), std::string::npos) << words;
        EXPECT_EQ(exitFor(c.call, c.error), c.exit) << words;
    }
}

// A read or write that a cancel or a break ended keeps the bytes before it: the message counts
// them, and says nothing of bytes for a request that moved none or for a control code.
TEST(WdmusbctlErrors, AFailedReadOrWriteSaysWhatItMovedBeforeItEnded) {
    EXPECT_EQ(movedBefore(WdmusbCallRead, 512), "; 512 bytes had been read before it ended");
    EXPECT_EQ(movedBefore(WdmusbCallWrite, 1), "; 1 byte had been written before it ended");
    EXPECT_EQ(movedBefore(WdmusbCallRead, 0), "");
    EXPECT_EQ(movedBefore(WdmusbCallVendor, 4), "");
}

TEST(WdmusbctlDevice, VendorAndProductAreReadFromTheDevicePath) {
    struct Case {
        const char* path;
        const char* vendor;
        const char* product;
    };
    const Case cases[] = {
        {"\\\\?\\usb#vid_1209&pid_0001#5&1a2b#{921d5b4c}", "1209", "0001"},
        {"\\\\?\\USB#VID_ABCD&PID_12EF#x", "ABCD", "12EF"},
        {"\\\\?\\root#wdmusb#0000", "", ""},
        {"\\\\?\\usb#vid_12", "", ""},
    };
    for (const Case& c : cases) {
        const VendorProduct id = vendorProductFromPath(c.path);
        EXPECT_EQ(id.vendor, c.vendor) << c.path;
        EXPECT_EQ(id.product, c.product) << c.path;
    }
}

Bytes loopbackConfiguration() {
    return Bytes(std::begin(kLoopbackConfigurationDescriptor),
                 std::end(kLoopbackConfigurationDescriptor));
}

bool hasLine(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    });
}

TEST(WdmusbctlDescriptors, TheLoopbackConfigurationIsDecodedFieldByField) {
    const std::vector<std::string> lines = decodeConfiguration(loopbackConfiguration());
    for (const char* expected :
         {"Configuration Descriptor:", "wTotalLength          0x0020",
          "bConfigurationValue        1", "Bus Powered", "MaxPower               100mA",
          "Interface Descriptor:", "bInterfaceClass          255  Vendor Specific Class",
          "bEndpointAddress        0x81  EP 1 IN", "bEndpointAddress        0x02  EP 2 OUT",
          "Transfer Type            Bulk", "wMaxPacketSize        0x0200  1x 512 bytes"})
        EXPECT_TRUE(hasLine(lines, expected)) << expected;
    EXPECT_FALSE(hasLine(lines, "malformed"));
}

TEST(WdmusbctlDescriptors, BrokenBytesEndTheDecodingWithWhereAndNeverReadPastTheEnd) {
    struct Case {
        const char* name;
        Bytes bytes;
        const char* says;
    };
    Bytes zeroLength = loopbackConfiguration();
    zeroLength[9] = 0; // the interface descriptor's bLength
    Bytes overrun = loopbackConfiguration();
    overrun[25] = 40; // the last endpoint runs past the end
    Bytes wrongTotal = loopbackConfiguration();
    wrongTotal[2] = 64;
    Bytes truncated = loopbackConfiguration();
    truncated.resize(12);
    const Case cases[] = {
        {"empty", {}, "not a configuration descriptor (0 bytes)"},
        {"device descriptor", Bytes(18, 0x12), "not a configuration descriptor (18 bytes)"},
        {"zero length", zeroLength, "malformed descriptor at offset 9: bLength 0"},
        {"overrun", overrun, "malformed descriptor at offset 25: bLength 40, 7 bytes left"},
        {"truncated", truncated, "malformed descriptor at offset 9"},
        {"wrong total", wrongTotal, "wTotalLength 64 but 32 bytes returned"},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(hasLine(decodeConfiguration(c.bytes), c.says)) << c.name;
}

} // namespace
} // namespace wdmusbctl
