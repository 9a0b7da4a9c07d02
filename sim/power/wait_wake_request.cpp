// Wait-wake IRPs the power manager sends for a wake policy, and the record the sender keeps.
#include <cstdio>
#include <cstdlib>

#include "sim/core/system.h"
#include "sim/io/io_manager.h"
#include "sim/power/power_manager.h"

namespace sim {

bool WaitWakeRequest::done() const {
    std::lock_guard lock(mutex_);
    return done_;
}

NTSTATUS WaitWakeRequest::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

bool WaitWakeRequest::wait(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done_; });
}

// The lock is held across IoCancelIrp: the IRP cannot come back, and be freed, in between. A
// completion on another thread waits for it in completed(); one inside IoCancelIrp takes it again.
bool WaitWakeRequest::cancel() {
    std::lock_guard lock(mutex_);
    return !done_ && irp_ != nullptr && IoCancelIrp(irp_) != FALSE;
}

void NTAPI WaitWakeRequest::completed(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                                      PIO_STATUS_BLOCK status) {
    auto* request = static_cast<WaitWakeRequest*>(context);
    std::lock_guard lock(request->mutex_);
    request->irp_ = nullptr;
    request->status_ = status->Status;
    request->done_ = true;
    request->changed_.notify_all();
}

std::shared_ptr<WaitWakeRequest> PowerManager::sendWaitWake(PDEVICE_OBJECT pdo,
                                                            SYSTEM_POWER_STATE wakeFrom) {
    const SimCallSite site = SimCallSite::current();
    auto request = std::make_shared<WaitWakeRequest>();
    POWER_STATE state{};
    state.SystemState = wakeFrom;
    PIRP irp = buildRequest(pdo, IRP_MN_WAIT_WAKE, state, &WaitWakeRequest::completed,
                            request.get(), site);
    request->irp_ = irp; // no other thread knows the request yet
    const PDEVICE_OBJECT top = current().io().topOfStack(pdo);
    std::lock_guard lock(mutex_);
    wakeRequests_.push_back(request);
    wakeSenders_.emplace_back([this, top, irp, site] { callDriver(top, irp, site); });
    return request;
}

// A wait-wake still out when the system goes away is cancelled, so that a driver holding its
// dispatch routine for it lets go; one that does not come back even then would hang the run.
void PowerManager::joinWakeSenders() {
    std::vector<std::shared_ptr<WaitWakeRequest>> requests;
    std::vector<std::thread> senders;
    {
        std::lock_guard lock(mutex_);
        requests.swap(wakeRequests_);
        senders.swap(wakeSenders_);
    }
    for (const auto& request : requests)
        request->cancel();
    for (const auto& request : requests) {
        if (!request->wait(std::chrono::seconds(60))) {
            std::fprintf(stderr, "simulated system stopped: a wait-wake IRP sent by the power "
                                 "manager never came back, even cancelled\n");
            std::abort();
        }
    }
    for (auto& sender : senders)
        sender.join();
}

} // namespace sim
