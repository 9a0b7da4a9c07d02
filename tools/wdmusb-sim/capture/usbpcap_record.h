// The records of a USB capture as Wireshark reads it for this platform (pcap link type 249): a
// little-endian packed packet header, then the transfer's bytes.
//
//   offset size field       offset size field
//   0      2    headerLen   19     2    device (address)
//   2      8    irpId       21     1    endpoint (bit 7: IN)
//   10     4    status      22     1    transfer (0 iso, 1 interrupt, 2 control, 3 bulk,
//   14     2    function                  0xFE IRP information: a URB without data)
//   16     1    info (bit 0: the completion, coming back up)
//   17     2    bus         23     4    dataLength
//                           27     1    stage (control only: 0 setup, 1 data, 2 status, 3 done)
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace wdmusbsim {

constexpr int kLinkTypeUsbPcap = 249;

enum class UsbTransfer : std::uint8_t {
    Isochronous = 0,
    Interrupt = 1,
    Control = 2,
    Bulk = 3,
    IrpInformation = 0xFE,
};

enum class ControlStage : std::uint8_t { Setup = 0, Data = 1, Status = 2, Complete = 3 };

struct UsbPcapRecord {
    std::uint64_t irpId = 0;
    std::uint32_t usbdStatus = 0; // 0 on the submit
    std::uint16_t function = 0;
    bool completion = false; // the info bit
    std::uint16_t bus = 1;
    std::uint16_t device = 0;
    std::uint8_t endpoint = 0;
    UsbTransfer transfer = UsbTransfer::IrpInformation;
    std::optional<ControlStage> stage; // control transfers only
    std::span<const std::uint8_t> data;
};

constexpr std::size_t kUsbPcapHeaderBytes = 27;
constexpr std::size_t kUsbPcapControlHeaderBytes = 28;

// The record's bytes: header then data.
std::vector<std::uint8_t> encode(const UsbPcapRecord& record);

} // namespace wdmusbsim
