#include "sim/sync/dispatcher.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>

#include "sim/core/system.h"

namespace sim {

namespace {

constexpr UCHAR kEventObjectType = 0; // NotificationEvent as the dispatcher type
constexpr UCHAR kEventObjectSize = sizeof(KEVENT) / sizeof(LONG);

thread_local KIRQL tIrql = PASSIVE_LEVEL;
thread_local std::vector<HeldSpinLock> tHeld;
thread_local std::string tRunningFor;

std::string describeEvent(PKEVENT event) {
    std::ostringstream out;
    out << "event " << static_cast<const void*>(event);
    return out.str();
}

} // namespace

KIRQL currentIrql() {
    return tIrql;
}
void setCurrentIrql(KIRQL irql) {
    tIrql = irql;
}
const std::vector<HeldSpinLock>& heldSpinLocks() {
    return tHeld;
}
std::vector<HeldSpinLock>& mutableHeldSpinLocks() {
    return tHeld;
}

AtDispatchLevel::AtDispatchLevel() : previous_(tIrql) {
    tIrql = DISPATCH_LEVEL;
}
AtDispatchLevel::~AtDispatchLevel() {
    tIrql = previous_;
}

RunningFor::RunningFor(std::string what) : previous_(std::exchange(tRunningFor, std::move(what))) {}
RunningFor::~RunningFor() {
    tRunningFor = std::move(previous_);
}

std::string insideWhat() {
    return tRunningFor.empty() ? std::string() : " inside " + tRunningFor;
}

void Dispatcher::initializeEvent(PKEVENT event, EVENT_TYPE type, bool signalled) {
    std::lock_guard lock(mutex_);
    event->Header.Type = static_cast<UCHAR>(type == NotificationEvent ? kEventObjectType : 1);
    event->Header.Size = kEventObjectSize;
    event->Header.Absolute = 0;
    event->Header.Inserted = 0;
    event->Header.SignalState = signalled ? 1 : 0;
    event->Header.WaitListHead.Flink = &event->Header.WaitListHead;
    event->Header.WaitListHead.Blink = &event->Header.WaitListHead;
}

// The waiters are woken once the lock is dropped, so that they do not find it held; the event
// itself is not touched then (a waiter may free it as soon as it sees it set).
LONG Dispatcher::setEvent(PKEVENT event) {
    LONG previous = 0;
    {
        std::lock_guard lock(mutex_);
        previous = event->Header.SignalState;
        event->Header.SignalState = 1;
    }
    changed_.notify_all();
    return previous;
}

LONG Dispatcher::resetEvent(PKEVENT event) {
    std::lock_guard lock(mutex_);
    const LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

LONG Dispatcher::readEvent(PKEVENT event) {
    std::lock_guard lock(mutex_);
    return event->Header.SignalState;
}

bool Dispatcher::waitFor(PKEVENT event, std::chrono::nanoseconds timeout,
                         const SimCallSite& caller) {
    std::unique_lock lock(mutex_);
    // A time-out as long as the hang limit or longer is held to the limit as any wait is.
    const bool bounded = timeout < hangLimit_;
    const auto limit = bounded ? timeout : std::chrono::nanoseconds(hangLimit_);
    if (!changed_.wait_for(lock, limit, [&] { return event->Header.SignalState != 0; })) {
        if (bounded)
            return false;
        lock.unlock();
        stopHung(event, caller);
    }
    if (event->Header.Type != kEventObjectType)
        event->Header.SignalState = 0; // a synchronization event releases one waiter
    return true;
}

void Dispatcher::wait(PKEVENT event, const SimCallSite& caller) {
    std::unique_lock lock(mutex_);
    const bool satisfied =
        changed_.wait_for(lock, hangLimit_, [&] { return event->Header.SignalState != 0; });
    if (!satisfied) {
        lock.unlock();
        stopHung(event, caller);
    }
    if (event->Header.Type != kEventObjectType)
        event->Header.SignalState = 0; // a synchronization event releases one waiter
}

void Dispatcher::stopHung(PKEVENT event, const SimCallSite& caller) {
    current().verifier().report(Rule::WaitNeverEnded,
                                "wait on " + describeEvent(event) + " did not end within " +
                                    std::to_string(hangLimit_.count()) + " ms",
                                caller);
    std::fprintf(stderr, "simulated system stopped: a wait would hang forever\n");
    std::abort();
}

} // namespace sim
