// An observer that keeps a copy of every URB and its completion, for tests to inspect.
//
// Usage:
//     sim::usb::UrbRecorder recorder;
//     bus.addObserver(&recorder);        // remove it (or destroy the bus) before it goes away
//     ... drive the driver ...
//     auto urbs = recorder.submitted(URB_FUNCTION_SELECT_CONFIGURATION);
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/usb/bus_observer.h"

namespace sim::usb {

struct UrbRecord {
    std::uint64_t sequence = 0; // order of submission, from 1
    PIRP irp = nullptr;
    USHORT function = 0;
    USHORT length = 0;                 // Hdr.Length as submitted
    std::vector<std::uint8_t> request; // the URB's bytes as submitted (Hdr.Length, bounded)
    std::vector<std::uint8_t> result;  // and as completed
    bool completed = false;
    NTSTATUS irpStatus = 0;
    USBD_STATUS usbStatus = 0;

    // The submitted URB, viewed as the platform's record (valid while the record lives).
    const URB& submittedUrb() const { return *reinterpret_cast<const URB*>(request.data()); }
    const URB& completedUrb() const { return *reinterpret_cast<const URB*>(result.data()); }
};

class UrbRecorder : public BusObserver {
public:
    void onSubmit(BusDevice& device, const URB& urb, PIRP irp) override;
    void onComplete(BusDevice& device, const URB& urb, PIRP irp, NTSTATUS status) override;

    std::vector<UrbRecord> records() const;
    std::vector<UrbRecord> submitted(USHORT function) const;
    std::size_t count(USHORT function) const;
    void clear();
    // Waits until at least `count` URBs of `function` were completed; false on time-out.
    bool waitForCompleted(USHORT function, std::size_t count,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<UrbRecord> records_;
};

} // namespace sim::usb
