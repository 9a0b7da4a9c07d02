// Dispatcher objects and the per-thread IRQL.
//
// As on the platform, one dispatcher lock orders every event's state with its waiters, so a
// KeSetEvent and a wait never miss each other. A wait really blocks the calling thread; one that
// has not ended after the hang limit is reported and ends the run rather than hanging it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/host_platform.h"

namespace sim {

class Dispatcher {
public:
    void initializeEvent(PKEVENT event, EVENT_TYPE type, bool signalled);
    LONG setEvent(PKEVENT event);
    LONG resetEvent(PKEVENT event);
    LONG readEvent(PKEVENT event);
    void wait(PKEVENT event, const SimCallSite& caller);
    // A wait with a time-out: false when it expired with the event still not signalled. One that
    // reaches the hang limit first is reported and ends the run, as an endless wait does.
    bool waitFor(PKEVENT event, std::chrono::nanoseconds timeout, const SimCallSite& caller);

    // How long a wait may block before it is reported as a hang; defaults to 60 seconds.
    void setHangLimit(std::chrono::milliseconds limit) { hangLimit_ = limit; }
    std::chrono::milliseconds hangLimit() const { return hangLimit_; }

private:
    [[noreturn]] void stopHung(PKEVENT event, const SimCallSite& caller);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::chrono::milliseconds hangLimit_{60000};
};

// The IRQL of the calling thread (PASSIVE_LEVEL for a new thread).
KIRQL currentIrql();
void setCurrentIrql(KIRQL irql);

// Spin locks the calling thread holds, innermost last.
struct HeldSpinLock {
    PKSPIN_LOCK lock;
    KIRQL previousIrql;
    SimCallSite acquiredAt;
};
const std::vector<HeldSpinLock>& heldSpinLocks();

// Runs a completion, a DPC or another callback as the platform would from an interrupt path: at
// DISPATCH_LEVEL on the calling thread, restoring the IRQL afterwards.
class AtDispatchLevel {
public:
    AtDispatchLevel();
    ~AtDispatchLevel();
    AtDispatchLevel(const AtDispatchLevel&) = delete;
    AtDispatchLevel& operator=(const AtDispatchLevel&) = delete;

private:
    KIRQL previous_;
};

// What the calling thread runs for the platform (a power-request completion routine, say), so
// that a finding made meanwhile can name it. Scoped; an inner one hides an outer one.
class RunningFor {
public:
    explicit RunningFor(std::string what);
    ~RunningFor();
    RunningFor(const RunningFor&) = delete;
    RunningFor& operator=(const RunningFor&) = delete;

private:
    std::string previous_;
};

// " inside <what>" while a RunningFor lives on this thread; empty otherwise.
std::string insideWhat();

} // namespace sim
