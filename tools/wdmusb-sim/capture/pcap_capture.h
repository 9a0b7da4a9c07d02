// --capture FILE: every URB the bus driver receives and completes, written as it happens into a
// pcap file that Wireshark and tshark read (link type 249), through libpcap. Each record is
// flushed at once, so a run that stops early leaves a readable file.
#pragma once

#include <mutex>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/usb/bus_observer.h"

struct pcap;
struct pcap_dumper;

namespace wdmusbsim {

class PcapCapture : public sim::usb::BusObserver {
public:
    static constexpr int kSnapshotBytes = 0x40000;

    explicit PcapCapture(const std::string& file);
    ~PcapCapture() override;
    PcapCapture(const PcapCapture&) = delete;
    PcapCapture& operator=(const PcapCapture&) = delete;

    bool ok() const { return dumper_ != nullptr; }
    const std::string& error() const { return error_; } // why the file could not be opened
    std::size_t recordsWritten() const;

    void onSubmit(sim::usb::BusDevice& device, const URB& urb, PIRP irp) override;
    void onComplete(sim::usb::BusDevice& device, const URB& urb, PIRP irp,
                    NTSTATUS status) override;

private:
    void write(const std::vector<std::uint8_t>& record);

    pcap* dead_ = nullptr;
    pcap_dumper* dumper_ = nullptr;
    std::string error_;
    mutable std::mutex mutex_; // guards the dumper and the count
    std::size_t written_ = 0;
};

} // namespace wdmusbsim
