// The host controller: moves the data of transfers between the driver's buffers and the device
// models, and completes them.
//
// A transfer (bulk or interrupt, vendor request, descriptor read) completes in one of three
// modes, chosen per test and per endpoint address:
//   - Inline: inside the IofCallDriver that submitted it, when the device can answer at once;
//   - Thread (the default): served in submission order by the controller's own thread, and
//     completed by one of kProcessors completion threads, at DISPATCH_LEVEL, as DPCs on several
//     processors would: the completions of two transfers (two chunks of one request, or the read
//     and the write pipe) may run at the same time; the IRP is always pended first;
//   - Held: pended and kept until the test or the device model releases it (releaseHeld), then
//     offered to the device on the releasing thread.
// A transfer the device cannot serve yet (the loopback's IN with nothing queued) waits, pending,
// until the model wakes it. In every mode a pipe's transfers meet the device in the order they
// were submitted, as on a real bus: one that waits holds back the newer transfers of its pipe
// (they wait behind it without being offered), so data goes to the oldest first.
// Pending transfers carry a cancel routine (unless a scripted fault refuses cancellation) and are
// completed with STATUS_CANCELLED / USBD_STATUS_CANCELED when cancelled or aborted.
//
// Force pending: every IRP the bus receives is pended and handled later on the completion thread.
//
// A cancelled transfer is completed inside IoCancelIrp, or, with setCancelLatency, a while later
// on a completion thread, as a controller that must first unlink it from its schedule does.
//
// Usage (tests): bus.controller().setMode(CompletionMode::Held);
//                bus.controller().waitForInFlight(4);  bus.controller().releaseHeld();
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "sim/usb/transfer.h"

namespace sim::usb {

enum class CompletionMode { Inline, Thread, Held };

class HostController {
public:
    // Completion threads: "processors" on which completions of transfers run.
    static constexpr std::size_t kProcessors = 2;

    HostController();
    ~HostController(); // stops the completion thread
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

    // --- for tests ---------------------------------------------------------------------------
    void setMode(CompletionMode mode);                        // every endpoint without its own
    void setMode(UCHAR endpointAddress, CompletionMode mode); // one endpoint address
    CompletionMode mode(UCHAR endpointAddress) const;
    void setForcePending(bool on);
    bool forcePending() const;
    // How long after IoCancelIrp a cancelled transfer is completed (0, the default: at once,
    // inside IoCancelIrp).
    void setCancelLatency(std::chrono::milliseconds latency);
    // While held, completions the controller's thread has decided wait in their queue, as DPCs
    // that have not run yet; the processors take them again once released. waitIdle does not
    // wait for held completions.
    void holdCompletions(bool held);

    // Releases held transfers (of one endpoint, of one device) in submission order, at most
    // `limit`, on the calling thread at DISPATCH_LEVEL; returns how many.
    std::size_t releaseHeld(std::optional<UCHAR> endpointAddress = std::nullopt,
                            std::size_t limit = SIZE_MAX, const BusDevice* device = nullptr);
    std::size_t heldCount(std::optional<UCHAR> endpointAddress = std::nullopt) const;
    // Transfers pending in the controller (held, waiting, queued for the thread, stuck).
    std::size_t inFlightCount(std::optional<UCHAR> endpointAddress = std::nullopt) const;
    // Waits until at least `count` transfers are pending (of an endpoint); false on time-out.
    bool waitForInFlight(std::size_t count, std::optional<UCHAR> endpointAddress = std::nullopt,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Waits until the controller's threads have nothing to do (waiting transfers may remain).
    void waitIdle() const;

    // --- for the bus driver ------------------------------------------------------------------
    // Takes a transfer the bus has validated. Returns STATUS_PENDING (the IRP marked pending and
    // owned by the controller) or, inline, the status the IRP was completed with.
    NTSTATUS submit(const std::shared_ptr<Transfer>& transfer);
    // Completes every pending transfer of the device that `which` selects with the given status.
    // Returns how many. A transfer whose cancel routine is running is left to it.
    std::size_t flush(const BusDevice& device, const std::function<bool(const Transfer&)>& which,
                      NTSTATUS irpStatus, USBD_STATUS usbStatus);
    // Offers the device's waiting transfers to its model again, on the completion thread.
    void wake(const BusDevice& device);
    // The bus forgets the device: its wake count goes (a later device may get its address).
    void forget(const BusDevice& device);
    // Runs work on the completion thread (force pending).
    void post(std::function<void()> work);
    // Stops the completion thread; pending transfers stay as they are. Idempotent.
    void shutdown();

private:
    using TransferList = std::list<std::shared_ptr<Transfer>>;

    static void NTAPI cancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    void threadMain();
    void processorMain();
    // Runs queued jobs at DISPATCH_LEVEL until the controller stops; `*held` pauses the queue.
    // `ready` is notified when the queue gets a job (or is let go).
    void runJobs(std::deque<std::function<void()>>& queue, std::condition_variable& ready,
                 const bool* held = nullptr);
    void serviceQueued(const std::shared_ptr<Transfer>& transfer);
    // Offers a claimed transfer to its device; completes it or puts it back to wait.
    void service(const std::shared_ptr<Transfer>& transfer);
    void pump(const BusDevice& device);
    // Puts a new transfer in the list with its cancel routine; false when it was completed
    // instead (cancelled already, or the controller stopped).
    bool park(const std::shared_ptr<Transfer>& transfer, TransferState state,
              std::optional<std::uint64_t> wakesSeen = std::nullopt);
    bool arm(Transfer& transfer);   // mutex_ held
    bool claim(Transfer& transfer); // mutex_ held; false when its cancel routine owns it
    // Completes a transfer: on the controller's own thread by handing it to a processor, on any
    // other thread at once.
    void complete(const std::shared_ptr<Transfer>& transfer, const Outcome& outcome);
    void finish(const std::shared_ptr<Transfer>& transfer, const Outcome& outcome);
    // Where a transfer stands just before it is offered to the device: the device's wake count,
    // and whether older transfers of its pipe must meet the device first (listed: the transfer
    // is in pending_ already; otherwise it is about to be offered inline).
    struct Turn {
        std::uint64_t wakesSeen = 0;
        bool behind = false;
    };
    Turn turnOf(const Transfer& transfer, bool listed);
    bool olderWaits(const Transfer& transfer) const; // mutex_ held
    bool pipeBusy(const Transfer& transfer) const;   // mutex_ held
    void rewakeIfMissed(const Transfer& transfer, std::optional<std::uint64_t> wakesSeen);
    std::size_t countLocked(std::optional<UCHAR> endpointAddress,
                            std::optional<TransferState> state) const;

    mutable std::mutex mutex_; // guards everything below
    // Each thread waits on its own queue's signal, so that work for one wakes no other; changed_
    // is for the callers that wait for a count or for the threads to be idle.
    mutable std::condition_variable changed_;
    std::condition_variable workReady_;       // work_ has a job
    std::condition_variable completionReady_; // completions_ has one (or they are let go)
    CompletionMode defaultMode_ = CompletionMode::Thread;
    std::map<UCHAR, CompletionMode> endpointModes_;
    bool forcePending_ = false;
    bool completionsHeld_ = false;
    TransferList pending_; // every transfer the controller holds, in submission order
    std::deque<std::function<void()>> work_;          // for the controller's own thread
    std::deque<std::function<void()>> completions_;   // for the processors
    std::map<const BusDevice*, std::uint64_t> wakes_; // wake() calls per device
    std::chrono::milliseconds cancelLatency_{0};
    std::size_t busyWorkers_ = 0;
    bool stopping_ = false;
    std::thread thread_;
    std::thread::id threadId_;
    std::vector<std::thread> processors_;
};

} // namespace sim::usb
