#include "tools/wdmusb-sim/capture/usbpcap_record.h"

namespace wdmusbsim {

namespace {

void put(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

} // namespace

std::vector<std::uint8_t> encode(const UsbPcapRecord& record) {
    const std::size_t headerBytes = record.stage ? kUsbPcapControlHeaderBytes : kUsbPcapHeaderBytes;
    std::vector<std::uint8_t> out;
    out.reserve(headerBytes + record.data.size());
    put(out, headerBytes, 2);
    put(out, record.irpId, 8);
    put(out, record.usbdStatus, 4);
    put(out, record.function, 2);
    put(out, record.completion ? 1 : 0, 1);
    put(out, record.bus, 2);
    put(out, record.device, 2);
    put(out, record.endpoint, 1);
    put(out, static_cast<std::uint8_t>(record.transfer), 1);
    put(out, record.data.size(), 4);
    if (record.stage)
        put(out, static_cast<std::uint8_t>(*record.stage), 1);
    out.insert(out.end(), record.data.begin(), record.data.end());
    return out;
}

} // namespace wdmusbsim
