#include "tools/wdmusbctl/descriptors.h"

#include <cstdio>

namespace wdmusbctl {

namespace {

constexpr std::uint8_t kConfiguration = 2;
constexpr std::uint8_t kInterface = 4;
constexpr std::uint8_t kEndpoint = 5;

class Decoder {
public:
    explicit Decoder(std::vector<std::string>& lines) : lines_(lines) {}

    // "  bLength                 9": a field name padded to a column, then its value.
    void field(int depth, const char* name, const std::string& value,
               const std::string& note = "") {
        char line[128];
        std::snprintf(line, sizeof line, "%*s%-20s%8s", depth * 2, "", name, value.c_str());
        lines_.push_back(note.empty() ? line : std::string(line) + "  " + note);
    }
    void text(int depth, const std::string& what) {
        lines_.push_back(std::string(static_cast<std::size_t>(depth) * 2, ' ') + what);
    }

private:
    std::vector<std::string>& lines_;
};

std::string decimal(unsigned value) {
    return std::to_string(value);
}

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

unsigned word(std::span<const std::uint8_t> d, std::size_t at) {
    return d[at] | (d[at + 1] << 8);
}

void configuration(Decoder& out, std::span<const std::uint8_t> d) {
    out.text(0, "Configuration Descriptor:");
    out.field(1, "bLength", decimal(d[0]));
    out.field(1, "bDescriptorType", decimal(d[1]));
    out.field(1, "wTotalLength", hex(word(d, 2), 4));
    out.field(1, "bNumInterfaces", decimal(d[4]));
    out.field(1, "bConfigurationValue", decimal(d[5]));
    out.field(1, "iConfiguration", decimal(d[6]));
    out.field(1, "bmAttributes", hex(d[7], 2));
    out.text(2, (d[7] & 0x40) != 0 ? "Self Powered" : "Bus Powered");
    if ((d[7] & 0x20) != 0)
        out.text(2, "Remote Wakeup");
    out.field(1, "MaxPower", decimal(2u * d[8]) + "mA");
}

void interface(Decoder& out, std::span<const std::uint8_t> d) {
    out.text(1, "Interface Descriptor:");
    out.field(2, "bLength", decimal(d[0]));
    out.field(2, "bDescriptorType", decimal(d[1]));
    out.field(2, "bInterfaceNumber", decimal(d[2]));
    out.field(2, "bAlternateSetting", decimal(d[3]));
    out.field(2, "bNumEndpoints", decimal(d[4]));
    out.field(2, "bInterfaceClass", decimal(d[5]), d[5] == 0xFF ? "Vendor Specific Class" : "");
    out.field(2, "bInterfaceSubClass", decimal(d[6]));
    out.field(2, "bInterfaceProtocol", decimal(d[7]));
    out.field(2, "iInterface", decimal(d[8]));
}

void endpoint(Decoder& out, std::span<const std::uint8_t> d) {
    static constexpr const char* kTypes[] = {"Control", "Isochronous", "Bulk", "Interrupt"};
    const unsigned address = d[2];
    const unsigned packet = word(d, 4);
    out.text(2, "Endpoint Descriptor:");
    out.field(3, "bLength", decimal(d[0]));
    out.field(3, "bDescriptorType", decimal(d[1]));
    out.field(3, "bEndpointAddress", hex(address, 2),
              "EP " + decimal(address & 0x0F) + ((address & 0x80) != 0 ? " IN" : " OUT"));
    out.field(3, "bmAttributes", decimal(d[3]));
    out.text(4, std::string("Transfer Type            ") + kTypes[d[3] & 0x03]);
    out.field(3, "wMaxPacketSize", hex(packet, 4),
              decimal(((packet >> 11) & 0x03) + 1) + "x " + decimal(packet & 0x7FF) + " bytes");
    out.field(3, "bInterval", decimal(d[6]));
}

// The size each known descriptor needs before its fields can be read.
std::size_t minimumLength(std::uint8_t type) {
    switch (type) {
    case kConfiguration:
    case kInterface:
        return 9;
    case kEndpoint:
        return 7;
    default:
        return 2;
    }
}

} // namespace

std::vector<std::string> decodeConfiguration(std::span<const std::uint8_t> bytes) {
    std::vector<std::string> lines;
    Decoder out(lines);
    if (bytes.size() < 9 || bytes[1] != kConfiguration) {
        out.text(0, "not a configuration descriptor (" + decimal(bytes.size()) + " bytes)");
        return lines;
    }
    if (word(bytes, 2) != bytes.size())
        out.text(0, "wTotalLength " + decimal(word(bytes, 2)) + " but " + decimal(bytes.size()) +
                        " bytes returned");
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t length = bytes[at];
        const std::uint8_t type = at + 1 < bytes.size() ? bytes[at + 1] : 0;
        if (length < minimumLength(type) || at + length > bytes.size()) {
            out.text(0, "malformed descriptor at offset " + decimal(at) + ": bLength " +
                            decimal(length) + ", " + decimal(bytes.size() - at) + " bytes left");
            break;
        }
        const auto d = bytes.subspan(at, length);
        if (type == kConfiguration && at == 0)
            configuration(out, d);
        else if (type == kInterface)
            interface(out, d);
        else if (type == kEndpoint)
            endpoint(out, d);
        else
            out.text(1, "Descriptor type " + hex(type, 2) + ", " + decimal(length) + " bytes");
        at += length;
    }
    return lines;
}

} // namespace wdmusbctl
