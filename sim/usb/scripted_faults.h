// Scripted faults of one plugged device: a chosen URB, picked by function, endpoint and ordinal,
// goes wrong in a chosen way.
//
// Usage:
//     device.faults().add(UrbFault::on(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
//                             .endpoint(0x81).nth(2).failWith(STATUS_SUCCESS,
//                             USBD_STATUS_STALL_PID));
//
// Counting starts when the fault is added: nth(2) is the second matching URB submitted after
// that. A fault fires `times` times (consecutive matches), then stays in the list as spent.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/host/host_platform.h"

namespace sim::usb {

enum class FaultAction {
    Fail,          // complete with irpStatus / usbStatus, set independently; no data moves
    CompleteShort, // a transfer moves at most `bytes` bytes
    NeverComplete, // a transfer stays pending until cancelled or aborted
    RefuseCancel,  // a transfer is pended without a cancel routine: IoCancelIrp returns FALSE
    DisablePort,   // the port becomes disabled; the URB fails as every transfer then does
};

struct UrbFault {
    std::optional<USHORT> function;       // URB_FUNCTION_*; any when empty
    std::optional<UCHAR> endpointAddress; // 0 = default pipe; any when empty
    unsigned ordinal = 1;                 // the ordinal-th matching URB fires first
    unsigned times = 1;                   // consecutive matches it fires for
    FaultAction action = FaultAction::Fail;
    NTSTATUS irpStatus = STATUS_UNSUCCESSFUL;
    USBD_STATUS usbStatus = USBD_STATUS_STALL_PID;
    ULONG bytes = 0; // CompleteShort

    static UrbFault on(USHORT urbFunction) {
        UrbFault fault;
        fault.function = urbFunction;
        return fault;
    }
    static UrbFault anyUrb() { return UrbFault{}; }
    UrbFault& endpoint(UCHAR address) {
        endpointAddress = address;
        return *this;
    }
    UrbFault& nth(unsigned n) {
        ordinal = n;
        return *this;
    }
    UrbFault& repeat(unsigned count) {
        times = count;
        return *this;
    }
    UrbFault& failWith(NTSTATUS irp, USBD_STATUS usb) {
        action = FaultAction::Fail;
        irpStatus = irp;
        usbStatus = usb;
        return *this;
    }
    UrbFault& completeShort(ULONG moved) {
        action = FaultAction::CompleteShort;
        bytes = moved;
        return *this;
    }
    UrbFault& neverComplete() {
        action = FaultAction::NeverComplete;
        return *this;
    }
    UrbFault& refuseCancel() {
        action = FaultAction::RefuseCancel;
        return *this;
    }
    UrbFault& disablePort() {
        action = FaultAction::DisablePort;
        return *this;
    }
};

class ScriptedFaults {
public:
    void add(const UrbFault& fault);
    void clear();
    // The fault that fires for this URB, if any; counts the URB against every fault it matches.
    // endpointAddress is empty for URBs that name no pipe.
    std::optional<UrbFault> match(USHORT function, std::optional<UCHAR> endpointAddress);
    // How many faults have fired so far.
    std::size_t fired() const;

private:
    struct Entry {
        UrbFault fault;
        unsigned seen = 0;
        unsigned firedCount = 0;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::size_t fired_ = 0;
};

} // namespace sim::usb
