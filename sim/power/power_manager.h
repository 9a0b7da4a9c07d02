// The power manager: the system's power state and the transitions that take every device stack to
// another one, the serialisation of each device's power IRPs, the power IRPs drivers ask for
// (PoRequestPowerIrp), and wait-wake IRPs sent on behalf of a wake policy.
//
// Passing power IRPs, as the platform does it for drivers that are not inrush-aware:
//   - IRP_MN_SET_POWER and IRP_MN_QUERY_POWER reach a device object one at a time for each kind
//     (system power, device power): the next waits until the driver holding the current one calls
//     PoStartNextPowerIrp for it. Wait-wake and power-sequence IRPs are not serialised.
//   - A power IRP passed to a device with DO_POWER_PAGABLE above PASSIVE_LEVEL, and every IRP a
//     PoStartNextPowerIrp lets go, is delivered later at PASSIVE_LEVEL by the power manager's
//     worker thread. PoCallDriver then returns STATUS_PENDING with the caller's stack location
//     marked pending, so a driver may return what PoCallDriver returned.
//   - A set or query IRP that a driver passes on or completes without PoStartNextPowerIrp is a
//     finding (PowerIrpWithoutStartNext); the power manager then lets the next one go itself, so
//     the test goes on instead of hanging.
//
// System transitions (setSystemState), sent to the top of every device stack the Plug and Play
// manager knows (surprise-removed and removed ones aside), from its caller's thread at
// PASSIVE_LEVEL: going to sleep, hibernate or shutdown, the stacks are taken newest first (the
// platform powers children down before parents); back to working, oldest first. A sleep or
// hibernation is queried first (IRP_MN_QUERY_POWER to every stack, then waited for); a refusal
// vetoes it, and the stacks already queried get IRP_MN_SET_POWER for the state the system stays in.
// Shutdown and the return to working are not queried. The requests to all stacks go out together
// and are waited for together, as the platform does for the devices of one level.
//
// Usage (tests):
//     sim::PowerManager& power = system_.power();
//     sim::SystemTransition sleep = power.setSystemState(PowerSystemSleeping3);
//     power.setSystemState(PowerSystemWorking);
//     power.sendSystemPower(fdo, IRP_MN_SET_POWER, PowerSystemSleeping1); // one stack, by hand
//     auto wake = power.sendWaitWake(pdo);   // held by the bus until the device signals wake
//     node.busDevice->signalWake();  wake->wait();  wake->status();
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/host/host_platform.h"
#include "sim/power/passive_worker.h"

namespace sim {

// What a system transition did.
struct SystemTransition {
    bool vetoed = false;               // a stack refused the query; the system stayed where it was
    PDEVICE_OBJECT vetoedBy = nullptr; // the top of that stack
    NTSTATUS vetoStatus = STATUS_SUCCESS;
    std::size_t stacks = 0; // stacks the transition was sent to
};

// A wait-wake IRP the power manager sent to a stack: it comes back when the device signals wake,
// when it is cancelled, or when the bus fails it (the device leaving).
class WaitWakeRequest {
public:
    bool done() const;
    NTSTATUS status() const; // the IRP's final status, once done
    // Waits until the IRP has come back; false on time-out.
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // IoCancelIrp on the IRP while it is out; false when it was not cancellable or had come back.
    bool cancel();

private:
    friend class PowerManager;
    static void NTAPI completed(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                PVOID context, PIO_STATUS_BLOCK status);

    mutable std::recursive_mutex mutex_; // guards irp_, done_ and status_; held while cancelling
    mutable std::condition_variable_any changed_;
    PIRP irp_ = nullptr;
    bool done_ = false;
    NTSTATUS status_ = STATUS_PENDING;
};

class PowerManager {
public:
    PowerManager();
    ~PowerManager(); // waits for the worker and for every wait-wake sender
    PowerManager(const PowerManager&) = delete;
    PowerManager& operator=(const PowerManager&) = delete;

    // --- the system ------------------------------------------------------------------------------
    SYSTEM_POWER_STATE systemState() const;
    SystemTransition setSystemState(SYSTEM_POWER_STATE state);
    // Sends one system power IRP to the top of the stack `device` belongs to, as the power manager
    // builds them, and waits for it; returns its final status. Changes no system state.
    NTSTATUS sendSystemPower(PDEVICE_OBJECT device, UCHAR minor, SYSTEM_POWER_STATE state);

    // --- wait-wake -----------------------------------------------------------------------------
    // Asks for a wait-wake IRP for `pdo` (as PoRequestPowerIrp does) and sends it to the top of its
    // stack from a thread of its own, since a driver may hold its dispatch routine until the IRP
    // comes back. The request is never failed by fault injection: the platform's own.
    std::shared_ptr<WaitWakeRequest>
    sendWaitWake(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE wakeFrom = PowerSystemSleeping3);

    // --- the platform's routines -----------------------------------------------------------------
    NTSTATUS callDriver(PDEVICE_OBJECT device, PIRP irp, const SimCallSite& site);
    void startNext(PIRP irp, const SimCallSite& site);
    NTSTATUS requestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                             PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP* out,
                             const SimCallSite& site);
    // Called by IofCompleteRequest (what = "completed") for an IRP at a driver's location: a set
    // or query power IRP must have had its PoStartNextPowerIrp there.
    void checkStartedNext(PIRP irp, const char* what, const SimCallSite& site);

    // Waits until the worker has delivered everything it was given; a delivery still running
    // after the hang limit is a finding.
    void waitIdle();

private:
    enum Kind { kSystem = 0, kDevice = 1 };
    struct Queued {
        PIRP irp = nullptr;
        SimCallSite site{};
    };
    // The IRPs of one kind for one device object: the one delivered, and those waiting for it.
    struct Slot {
        PIRP active = nullptr;
        std::deque<Queued> waiting;
    };

    static bool serialised(UCHAR minor);
    // Delivers an IRP to a device now, or on the worker when the device's handler must run at
    // PASSIVE_LEVEL and the caller is above it.
    NTSTATUS present(PDEVICE_OBJECT device, PIRP irp, const SimCallSite& site);
    // The device's slot of the kind lets its next IRP go (on the worker), or becomes free.
    void releaseSlot(PDEVICE_OBJECT device, Kind kind, PIRP irp);
    PIRP buildRequest(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE state,
                      PREQUEST_POWER_COMPLETE completion, PVOID context, const SimCallSite& site);
    struct SentIrp;
    std::shared_ptr<SentIrp> sendSystemIrp(PDEVICE_OBJECT top, UCHAR minor,
                                           SYSTEM_POWER_STATE state);
    std::vector<PDEVICE_OBJECT> stackTops(bool newestFirst) const;
    void joinWakeSenders();

    mutable std::mutex mutex_; // guards everything below
    std::map<PDEVICE_OBJECT, std::array<Slot, 2>> slots_;
    SYSTEM_POWER_STATE system_ = PowerSystemWorking;
    std::vector<std::thread> wakeSenders_;
    std::vector<std::shared_ptr<WaitWakeRequest>> wakeRequests_;

    PassiveWorker worker_; // last: stopped first, while the slots still exist
};

} // namespace sim
