#include "sim/usb/urb_recorder.h"

#include <algorithm>
#include <cstring>

#include "sim/core/system.h"
#include "sim/memory/pool.h"

namespace sim::usb {

namespace {

// The URB's bytes, Hdr.Length of them but no further than its pool block; padded with zeros to
// a whole URB so the record can be viewed as one.
std::vector<std::uint8_t> copyUrb(const URB& urb) {
    std::size_t length = urb.UrbHeader.Length;
    if (auto block = current().pool().blockContaining(&urb)) {
        const auto* start = static_cast<const std::uint8_t*>(block->address);
        length = std::min<std::size_t>(length, start + block->size -
                                                   reinterpret_cast<const std::uint8_t*>(&urb));
    }
    std::vector<std::uint8_t> bytes(std::max(length, sizeof(URB)));
    std::memcpy(bytes.data(), &urb, length);
    return bytes;
}

} // namespace

void UrbRecorder::onSubmit(BusDevice&, const URB& urb, PIRP irp) {
    UrbRecord record;
    record.irp = irp;
    record.function = urb.UrbHeader.Function;
    record.length = urb.UrbHeader.Length;
    record.request = copyUrb(urb);
    std::lock_guard lock(mutex_);
    record.sequence = records_.size() + 1;
    records_.push_back(std::move(record));
    changed_.notify_all();
}

void UrbRecorder::onComplete(BusDevice&, const URB& urb, PIRP irp, NTSTATUS status) {
    auto bytes = copyUrb(urb);
    std::lock_guard lock(mutex_);
    // The latest uncompleted record of this IRP: drivers reuse IRPs.
    for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
        if (it->irp != irp || it->completed)
            continue;
        it->completed = true;
        it->irpStatus = status;
        it->usbStatus = urb.UrbHeader.Status;
        it->result = std::move(bytes);
        break;
    }
    changed_.notify_all();
}

std::vector<UrbRecord> UrbRecorder::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<UrbRecord> UrbRecorder::submitted(USHORT function) const {
    std::lock_guard lock(mutex_);
    std::vector<UrbRecord> out;
    std::copy_if(records_.begin(), records_.end(), std::back_inserter(out),
                 [function](const UrbRecord& r) { return r.function == function; });
    return out;
}

std::size_t UrbRecorder::count(USHORT function) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(records_.begin(), records_.end(),
                      [function](const UrbRecord& r) { return r.function == function; }));
}

void UrbRecorder::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

bool UrbRecorder::waitForCompleted(USHORT function, std::size_t count,
                                   std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(
                   std::count_if(records_.begin(), records_.end(), [&](const UrbRecord& r) {
                       return r.function == function && r.completed;
                   })) >= count;
    });
}

} // namespace sim::usb
