#include "tools/wdmusb-sim/capture/pcap_capture.h"

#include <pcap/pcap.h>

#include <chrono>

#include "tools/wdmusb-sim/capture/urb_records.h"

namespace wdmusbsim {

PcapCapture::PcapCapture(const std::string& file) {
    dead_ = pcap_open_dead(kLinkTypeUsbPcap, kSnapshotBytes);
    if (dead_ == nullptr) {
        error_ = "libpcap cannot make a capture of link type 249";
        return;
    }
    dumper_ = pcap_dump_open(dead_, file.c_str());
    if (dumper_ == nullptr)
        error_ = pcap_geterr(dead_);
}

PcapCapture::~PcapCapture() {
    if (dumper_ != nullptr)
        pcap_dump_close(dumper_);
    if (dead_ != nullptr)
        pcap_close(dead_);
}

std::size_t PcapCapture::recordsWritten() const {
    std::lock_guard lock(mutex_);
    return written_;
}

void PcapCapture::onSubmit(sim::usb::BusDevice& device, const URB& urb, PIRP irp) {
    write(captureUrb(device, urb, irp, false).bytes());
}

void PcapCapture::onComplete(sim::usb::BusDevice& device, const URB& urb, PIRP irp, NTSTATUS) {
    write(captureUrb(device, urb, irp, true).bytes());
}

void PcapCapture::write(const std::vector<std::uint8_t>& record) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(micros / 1000000);
    header.ts.tv_usec = static_cast<suseconds_t>(micros % 1000000);
    header.len = static_cast<bpf_u_int32>(record.size());
    header.caplen = std::min<bpf_u_int32>(header.len, kSnapshotBytes);
    std::lock_guard lock(mutex_);
    if (dumper_ == nullptr)
        return;
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, record.data());
    pcap_dump_flush(dumper_);
    ++written_;
}

} // namespace wdmusbsim
