// The I/O manager's observation point: every IRP allocated, sent to a driver, returned from a
// dispatch routine, completed, passed through a completion routine, cancelled, finished at the
// top and freed. Traces attach here (IoManager::setObserver).
//
// The observer is called on whatever thread does the work (completions run at DISPATCH_LEVEL),
// sometimes with the I/O manager's own (recursive) lock held: it must be thread-safe, must not
// block or wait for another thread, and must not send or complete IRPs. The IRP belongs to its
// owner: an observer may read it during Allocated, Sent and Completed only; at every other event
// it may be completed, freed or reused already, and the event's fields are all there is.
#pragma once

#include <cstdint>

#include "platform/host/host_platform.h"

namespace sim {

struct IrpEvent {
    enum class Kind {
        Allocated,         // stackCount locations; site: the allocator
        Sent,              // to `device` at `location`, carrying major/minor; site: the sender
        DispatchReturned,  // `device`'s dispatch routine at `location` returned `status`
        Completed,         // completion starts at `location` with status/information; site: who
        CompletionRoutine, // `routine` at `location` (of `device`) returned `status`
        Cancelled,         // IoCancelIrp; site: the caller
        Finished,          // completed to the top and handed back to the I/O manager or owner
        Freed,             // site: who freed it (none for the I/O manager's own release)
    };
    Kind kind = Kind::Sent;
    PIRP irp = nullptr;
    std::uint64_t id = 0; // the I/O manager's number of the IRP ("IRP #12")
    PDEVICE_OBJECT device = nullptr;
    int location = 0;
    int stackCount = 0;
    UCHAR major = 0;
    UCHAR minor = 0;
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    PIO_COMPLETION_ROUTINE routine = nullptr;
    SimCallSite site{};
};

class IrpObserver {
public:
    virtual ~IrpObserver() = default;
    virtual void onIrpEvent(const IrpEvent& event) = 0;
};

} // namespace sim
