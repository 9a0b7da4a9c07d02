#include "sim/usb/host_controller.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "sim/core/system.h"
#include "sim/sync/dispatcher.h"
#include "sim/usb/bus_device.h"
#include "sim/usb/bus_driver.h"
#include "sim/usb/status_map.h"

namespace sim::usb {

namespace {

bool cancelFlag(PIRP irp) {
    return std::atomic_ref<BOOLEAN>(irp->Cancel).load() != FALSE;
}

bool samePipe(const Transfer& a, const Transfer& b) {
    return a.device == b.device && a.endpointAddress == b.endpointAddress;
}

} // namespace

HostController::HostController() : thread_([this] { threadMain(); }), threadId_(thread_.get_id()) {
    for (std::size_t i = 0; i < kProcessors; ++i)
        processors_.emplace_back([this] { processorMain(); });
}

HostController::~HostController() {
    shutdown();
}

void HostController::shutdown() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
        workReady_.notify_all();
        completionReady_.notify_all();
    }
    // Never joined from one of its own threads (a completion may stop the bus).
    const auto join = [](std::thread& t) {
        if (t.joinable() && t.get_id() != std::this_thread::get_id())
            t.join();
    };
    join(thread_);
    for (std::thread& t : processors_)
        join(t);
}

void HostController::threadMain() {
    runJobs(work_, workReady_);
}

void HostController::processorMain() {
    runJobs(completions_, completionReady_, &completionsHeld_);
}

void HostController::runJobs(std::deque<std::function<void()>>& queue,
                             std::condition_variable& ready, const bool* held) {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            ready.wait(
                lock, [&] { return stopping_ || (!queue.empty() && (held == nullptr || !*held)); });
            if (stopping_)
                return;
            job = std::move(queue.front());
            queue.pop_front();
            ++busyWorkers_;
        }
        {
            AtDispatchLevel dpc; // completions run as from a DPC
            job();
        }
        std::lock_guard lock(mutex_);
        --busyWorkers_;
        changed_.notify_all();
    }
}

// Threads are signalled once the lock is dropped, so that the one woken does not find it held.
void HostController::post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        work_.push_back(std::move(work));
    }
    workReady_.notify_one();
    changed_.notify_all();
}

// --- modes
// ------------------------------------------------------------------------------------------

void HostController::setMode(CompletionMode mode) {
    std::lock_guard lock(mutex_);
    defaultMode_ = mode;
}

void HostController::setMode(UCHAR endpointAddress, CompletionMode mode) {
    std::lock_guard lock(mutex_);
    endpointModes_[endpointAddress] = mode;
}

CompletionMode HostController::mode(UCHAR endpointAddress) const {
    std::lock_guard lock(mutex_);
    auto it = endpointModes_.find(endpointAddress);
    return it != endpointModes_.end() ? it->second : defaultMode_;
}

void HostController::setForcePending(bool on) {
    std::lock_guard lock(mutex_);
    forcePending_ = on;
}

bool HostController::forcePending() const {
    std::lock_guard lock(mutex_);
    return forcePending_;
}

void HostController::setCancelLatency(std::chrono::milliseconds latency) {
    std::lock_guard lock(mutex_);
    cancelLatency_ = latency;
}

void HostController::holdCompletions(bool held) {
    std::lock_guard lock(mutex_);
    completionsHeld_ = held;
    completionReady_.notify_all();
    changed_.notify_all();
}

// --- submission
// ------------------------------------------------------------------------------------

NTSTATUS HostController::submit(const std::shared_ptr<Transfer>& transfer) {
    if (transfer->fault && transfer->fault->action == FaultAction::RefuseCancel)
        transfer->cancellable = false;
    const bool stuck = transfer->fault && transfer->fault->action == FaultAction::NeverComplete;
    const CompletionMode how = stuck ? CompletionMode::Held : mode(transfer->endpointAddress);

    Turn turn;
    if (how == CompletionMode::Inline) {
        turn = turnOf(*transfer, false);
        if (!turn.behind) {
            const Outcome outcome = offerToDevice(*transfer);
            if (outcome.kind == TransferResult::Kind::Done) {
                const NTSTATUS status = outcome.irpStatus;
                const bool pended = transfer->markedPending;
                complete(transfer, outcome);
                return pended ? STATUS_PENDING : status;
            }
        }
    }
    // From here on the IRP pends: it is marked before any other thread can see it.
    if (!transfer->markedPending) {
        IoMarkIrpPending(transfer->irp);
        transfer->markedPending = true;
    }
    switch (how) {
    case CompletionMode::Inline:
        // Behind older transfers of its pipe, it meets the device after them, on the thread.
        if (park(transfer, TransferState::Waiting, turn.wakesSeen) && turn.behind)
            post([this, device = transfer->device] { pump(*device); });
        break;
    case CompletionMode::Held:
        park(transfer, stuck ? TransferState::Stuck : TransferState::Held);
        break;
    case CompletionMode::Thread:
        if (park(transfer, TransferState::Queued))
            post([this, transfer] { serviceQueued(transfer); });
        break;
    }
    return STATUS_PENDING;
}

bool HostController::park(const std::shared_ptr<Transfer>& transfer, TransferState state,
                          std::optional<std::uint64_t> wakesSeen) {
    USBD_STATUS failure = USBD_STATUS_DEVICE_GONE;
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            transfer->state = state;
            pending_.push_back(transfer);
            if (arm(*transfer)) {
                rewakeIfMissed(*transfer, wakesSeen);
                changed_.notify_all();
                return true;
            }
            pending_.remove(transfer);
            failure = USBD_STATUS_CANCELED;
        }
    }
    // Cancelled before its cancel routine was set, or the controller is gone.
    complete(transfer, Outcome::failed(ntStatusFor(failure), failure));
    return false;
}

// Sets the cancel routine of a transfer in the list; false when the IRP was cancelled before (the
// caller completes it). mutex_ held.
bool HostController::arm(Transfer& transfer) {
    if (!transfer.cancellable)
        return true;
    IoSetCancelRoutine(transfer.irp, &HostController::cancelRoutine);
    if (cancelFlag(transfer.irp) && IoSetCancelRoutine(transfer.irp, nullptr) != nullptr)
        return false;
    return true; // if the exchange found no routine, the cancel routine runs and completes it
}

bool HostController::claim(Transfer& transfer) {
    if (transfer.state == TransferState::InService)
        return false;
    if (transfer.cancellable && IoSetCancelRoutine(transfer.irp, nullptr) == nullptr)
        return false; // its cancel routine is running and will complete it
    transfer.state = TransferState::InService;
    return true;
}

// --- servicing
// ------------------------------------------------------------------------------------

void HostController::serviceQueued(const std::shared_ptr<Transfer>& transfer) {
    {
        std::lock_guard lock(mutex_);
        if (transfer->state != TransferState::Queued || !claim(*transfer))
            return;
    }
    service(transfer);
}

void HostController::service(const std::shared_ptr<Transfer>& transfer) {
    const Turn turn = turnOf(*transfer, true);
    if (!turn.behind) {
        const Outcome outcome = offerToDevice(*transfer);
        if (outcome.kind == TransferResult::Kind::Done) {
            complete(transfer, outcome);
            return;
        }
    }
    {
        std::lock_guard lock(mutex_);
        transfer->state = TransferState::Waiting;
        if (arm(*transfer)) {
            rewakeIfMissed(*transfer, turn.wakesSeen);
            changed_.notify_all();
            return;
        }
        // Cancelled meanwhile: this thread completes it, and no pump that listed it as waiting
        // may claim it (its IRP is freed once the completion has run).
        transfer->state = TransferState::InService;
    }
    complete(transfer, Outcome::failed(STATUS_CANCELLED, USBD_STATUS_CANCELED));
}

std::size_t HostController::releaseHeld(std::optional<UCHAR> endpointAddress, std::size_t limit,
                                        const BusDevice* device) {
    std::vector<std::shared_ptr<Transfer>> released;
    {
        std::lock_guard lock(mutex_);
        for (auto& t : pending_) {
            if (released.size() >= limit)
                break;
            if (t->state != TransferState::Held || (device != nullptr && t->device != device) ||
                (endpointAddress && t->endpointAddress != *endpointAddress))
                continue;
            if (claim(*t))
                released.push_back(t);
        }
    }
    AtDispatchLevel dpc;
    for (auto& t : released)
        service(t);
    return released.size();
}

// The device may serve a waiting transfer now: a pump on the controller's thread offers them.
// With none waiting there is nothing to pump; a transfer with the device meanwhile sees the wake
// counted and is offered again when it comes back to wait (rewakeIfMissed).
void HostController::wake(const BusDevice& device) {
    {
        std::lock_guard lock(mutex_);
        ++wakes_[&device];
        if (std::none_of(pending_.begin(), pending_.end(), [&](const auto& t) {
                return t->device == &device && t->state == TransferState::Waiting;
            }))
            return;
        work_.push_back([this, &device] { pump(device); });
    }
    workReady_.notify_one();
    changed_.notify_all();
}

void HostController::forget(const BusDevice& device) {
    std::lock_guard lock(mutex_);
    wakes_.erase(&device);
}

HostController::Turn HostController::turnOf(const Transfer& transfer, bool listed) {
    std::lock_guard lock(mutex_);
    return {wakes_[transfer.device], listed ? olderWaits(transfer) : pipeBusy(transfer)};
}

// A pipe's transfers meet the device in the order they were submitted, as on a real bus: one
// that waits holds back the newer ones of its pipe, or data arriving meanwhile would go to a newer
// transfer before an older one. mutex_ held.
bool HostController::olderWaits(const Transfer& transfer) const {
    for (const auto& t : pending_) {
        if (t.get() == &transfer)
            return false;
        if (samePipe(*t, transfer) && t->state == TransferState::Waiting)
            return true;
    }
    return false;
}

// A transfer not yet listed is behind every transfer of its pipe that is queued, waiting or in
// service (held and stuck ones are the test's to order). mutex_ held.
bool HostController::pipeBusy(const Transfer& transfer) const {
    return std::any_of(pending_.begin(), pending_.end(), [&](const auto& t) {
        return samePipe(*t, transfer) && t->state != TransferState::Held &&
               t->state != TransferState::Stuck;
    });
}

// A wake that came while the transfer was with the device found it not waiting yet: offer it
// again, or it would wait for a wake that already happened. mutex_ held.
void HostController::rewakeIfMissed(const Transfer& transfer,
                                    std::optional<std::uint64_t> wakesSeen) {
    if (!wakesSeen || wakes_[transfer.device] == *wakesSeen)
        return;
    const BusDevice* device = transfer.device;
    work_.push_back([this, device] { pump(*device); });
    workReady_.notify_one();
}

// Offers the device's waiting transfers to it again, oldest first.
void HostController::pump(const BusDevice& device) {
    std::vector<std::shared_ptr<Transfer>> waiting;
    {
        std::lock_guard lock(mutex_);
        for (auto& t : pending_)
            if (t->device == &device && t->state == TransferState::Waiting)
                waiting.push_back(t);
    }
    for (auto& t : waiting) {
        {
            std::lock_guard lock(mutex_);
            if (t->state != TransferState::Waiting || olderWaits(*t) || !claim(*t))
                continue;
        }
        service(t);
    }
}

// --- completion, cancel and abort
// -------------------------------------------------------------------

void HostController::complete(const std::shared_ptr<Transfer>& transfer, const Outcome& outcome) {
    if (std::this_thread::get_id() == threadId_) {
        bool queued = false;
        {
            std::lock_guard lock(mutex_);
            if (!stopping_) {
                completions_.push_back([this, transfer, outcome] { finish(transfer, outcome); });
                queued = true;
            }
        }
        if (queued) {
            completionReady_.notify_one();
            changed_.notify_all();
            return;
        }
    }
    finish(transfer, outcome);
}

void HostController::finish(const std::shared_ptr<Transfer>& transfer, const Outcome& outcome) {
    {
        std::lock_guard lock(mutex_);
        // A pump or a flush may still hold it in the list it took: it must find it claimed.
        transfer->state = TransferState::InService;
        pending_.remove(transfer);
        // Newer transfers of its pipe waited behind it without meeting the device: they meet it
        // now, not at the device's next wake (which may never come).
        const bool behind = std::any_of(pending_.begin(), pending_.end(), [&](const auto& t) {
            return samePipe(*t, *transfer) && t->state == TransferState::Waiting;
        });
        if (behind && !stopping_) {
            work_.push_back([this, device = transfer->device] { pump(*device); });
            workReady_.notify_one();
        }
        changed_.notify_all();
    }
    if (outcome.served)
        setTransferLength(*transfer, outcome.bytes);
    transfer->device->completeUrb(transfer->irp, transfer->urb, outcome.irpStatus,
                                  outcome.usbStatus);
}

void NTAPI HostController::cancelRoutine(PDEVICE_OBJECT pdo, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    BusDevice* device = BusDriver::deviceOf(pdo);
    if (device == nullptr)
        return;
    HostController& self = device->controller();
    std::shared_ptr<Transfer> transfer;
    {
        std::lock_guard lock(self.mutex_);
        auto it = std::find_if(self.pending_.begin(), self.pending_.end(),
                               [irp](const auto& t) { return t->irp == irp; });
        if (it == self.pending_.end())
            return;
        transfer = *it;
        transfer->state = TransferState::InService;
        if (self.cancelLatency_.count() > 0 && !self.stopping_) {
            self.completions_.push_back([&self, transfer, latency = self.cancelLatency_] {
                std::this_thread::sleep_for(latency);
                self.finish(transfer, Outcome::failed(STATUS_CANCELLED, USBD_STATUS_CANCELED));
            });
            self.completionReady_.notify_one();
            self.changed_.notify_all();
            return;
        }
    }
    self.finish(transfer, Outcome::failed(STATUS_CANCELLED, USBD_STATUS_CANCELED));
}

std::size_t HostController::flush(const BusDevice& device,
                                  const std::function<bool(const Transfer&)>& which,
                                  NTSTATUS irpStatus, USBD_STATUS usbStatus) {
    std::vector<std::shared_ptr<Transfer>> taken;
    {
        std::lock_guard lock(mutex_);
        for (auto& t : pending_)
            if (t->device == &device && which(*t) && claim(*t))
                taken.push_back(t);
    }
    for (auto& t : taken)
        complete(t, Outcome::failed(irpStatus, usbStatus));
    return taken.size();
}

// --- counting and waiting -----------------------------------------------------------------------

std::size_t HostController::countLocked(std::optional<UCHAR> endpointAddress,
                                        std::optional<TransferState> state) const {
    return static_cast<std::size_t>(
        std::count_if(pending_.begin(), pending_.end(), [&](const auto& t) {
            return (!endpointAddress || t->endpointAddress == *endpointAddress) &&
                   (!state || t->state == *state);
        }));
}

std::size_t HostController::heldCount(std::optional<UCHAR> endpointAddress) const {
    std::lock_guard lock(mutex_);
    return countLocked(endpointAddress, TransferState::Held);
}

std::size_t HostController::inFlightCount(std::optional<UCHAR> endpointAddress) const {
    std::lock_guard lock(mutex_);
    return countLocked(endpointAddress, std::nullopt);
}

bool HostController::waitForInFlight(std::size_t count, std::optional<UCHAR> endpointAddress,
                                     std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return countLocked(endpointAddress, std::nullopt) >= count; });
}

void HostController::waitIdle() const {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
        return stopping_ ||
               (work_.empty() && (completions_.empty() || completionsHeld_) && busyWorkers_ == 0);
    });
}

} // namespace sim::usb
