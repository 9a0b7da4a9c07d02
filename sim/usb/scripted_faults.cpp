#include "sim/usb/scripted_faults.h"

namespace sim::usb {

void ScriptedFaults::add(const UrbFault& fault) {
    std::lock_guard lock(mutex_);
    entries_.push_back(Entry{fault});
}

void ScriptedFaults::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

std::optional<UrbFault> ScriptedFaults::match(USHORT function,
                                              std::optional<UCHAR> endpointAddress) {
    std::lock_guard lock(mutex_);
    std::optional<UrbFault> firing;
    for (auto& entry : entries_) {
        const UrbFault& f = entry.fault;
        if (f.function && *f.function != function)
            continue;
        if (f.endpointAddress && f.endpointAddress != endpointAddress)
            continue;
        ++entry.seen;
        const bool due = entry.seen >= f.ordinal && entry.firedCount < f.times;
        if (due && !firing) {
            ++entry.firedCount;
            ++fired_;
            firing = f;
        }
    }
    return firing;
}

std::size_t ScriptedFaults::fired() const {
    std::lock_guard lock(mutex_);
    return fired_;
}

} // namespace sim::usb
