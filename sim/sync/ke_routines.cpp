// The kernel's event, IRQL and spin-lock routines, as the driver calls them.
#include <atomic>
#include <functional>
#include <sstream>
#include <thread>

#include "sim/core/system.h"
#include "sim/sync/dispatcher.h"
#include "sim/sync/word_watch.h"

namespace sim {
std::vector<HeldSpinLock>& mutableHeldSpinLocks();
}

using namespace sim;

namespace {

std::string lockName(PKSPIN_LOCK lock) {
    std::ostringstream out;
    out << "spin lock " << static_cast<const void*>(lock);
    return out.str();
}

// A held lock stores a token of its holder, never 0: the address of a thread-local, odd.
ULONG_PTR threadToken() {
    thread_local const char tMark = 0;
    return reinterpret_cast<ULONG_PTR>(&tMark) | 1;
}

} // namespace

void NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State, SimCallSite) {
    current().dispatcher().initializeEvent(Event, Type, State != FALSE);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN Wait, SimCallSite Caller) {
    if (Wait)
        current().verifier().report(Rule::IrqlMisuse,
                                    "KeSetEvent with Wait TRUE is not supported by the simulator",
                                    Caller);
    if (currentIrql() > DISPATCH_LEVEL)
        current().verifier().report(Rule::IrqlMisuse, "KeSetEvent above DISPATCH_LEVEL", Caller);
    return current().dispatcher().setEvent(Event);
}

LONG NTAPI KeResetEvent(PRKEVENT Event, SimCallSite) {
    return current().dispatcher().resetEvent(Event);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    return current().dispatcher().readEvent(Event);
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout, SimCallSite Caller) {
    if (Timeout != nullptr && Timeout->QuadPart == 0)
        return current().dispatcher().readEvent(static_cast<PKEVENT>(Object)) != 0 ? STATUS_SUCCESS
                                                                                   : STATUS_TIMEOUT;
    if (currentIrql() >= DISPATCH_LEVEL) {
        current().verifier().report(Rule::WaitAtDispatchLevel,
                                    "KeWaitForSingleObject at IRQL " +
                                        std::to_string(currentIrql()) + insideWhat() +
                                        " (waits are allowed below DISPATCH_LEVEL only)",
                                    Caller);
    }
    if (Timeout == nullptr) {
        current().dispatcher().wait(static_cast<PKEVENT>(Object), Caller);
        return STATUS_SUCCESS;
    }
    // Relative time-outs (negative, in 100 ns units); an absolute one needs a system clock the
    // simulated system does not keep.
    if (Timeout->QuadPart > 0) {
        current().verifier().report(Rule::ObjectMisuse,
                                    "KeWaitForSingleObject with an absolute time-out, which the "
                                    "simulated system does not model",
                                    Caller);
        return STATUS_TIMEOUT;
    }
    const std::chrono::nanoseconds timeout(-Timeout->QuadPart * 100);
    return current().dispatcher().waitFor(static_cast<PKEVENT>(Object), timeout, Caller)
               ? STATUS_SUCCESS
               : STATUS_TIMEOUT;
}

KIRQL NTAPI KeGetCurrentIrql() {
    return currentIrql();
}

KIRQL NTAPI KfRaiseIrql(KIRQL NewIrql, SimCallSite Caller) {
    const KIRQL old = currentIrql();
    if (NewIrql < old)
        current().verifier().report(Rule::IrqlMisuse,
                                    "KfRaiseIrql to " + std::to_string(NewIrql) + " from " +
                                        std::to_string(old) + " lowers the IRQL",
                                    Caller);
    setCurrentIrql(NewIrql);
    return old;
}

void NTAPI KfLowerIrql(KIRQL NewIrql, SimCallSite Caller) {
    if (NewIrql > currentIrql())
        current().verifier().report(Rule::IrqlMisuse,
                                    "KfLowerIrql to " + std::to_string(NewIrql) + " from " +
                                        std::to_string(currentIrql()) + " raises the IRQL",
                                    Caller);
    setCurrentIrql(NewIrql);
}

void NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    std::atomic_ref<ULONG_PTR>(*SpinLock).store(0, std::memory_order_release);
}

KIRQL NTAPI KfAcquireSpinLock(PKSPIN_LOCK SpinLock, SimCallSite Caller) {
    const ULONG_PTR me = threadToken();
    std::atomic_ref<ULONG_PTR> word(*SpinLock);
    if (word.load(std::memory_order_relaxed) == me) {
        // On the platform this deadlocks the processor; here it is reported and refused.
        current().verifier().report(Rule::SpinLockRecursion,
                                    lockName(SpinLock) + " acquired again by its holder", Caller);
        return currentIrql();
    }
    if (currentIrql() > DISPATCH_LEVEL)
        current().verifier().report(Rule::IrqlMisuse,
                                    lockName(SpinLock) + " acquired above DISPATCH_LEVEL", Caller);
    const KIRQL old = currentIrql();
    setCurrentIrql(DISPATCH_LEVEL);
    ULONG_PTR expected = 0;
    while (!word.compare_exchange_weak(expected, me, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        expected = 0;
        std::this_thread::yield();
    }
    if (current().verifier().on())
        mutableHeldSpinLocks().push_back(HeldSpinLock{SpinLock, old, Caller});
    return old;
}

void NTAPI KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql, SimCallSite Caller) {
    if (!current().verifier().on()) {
        std::atomic_ref<ULONG_PTR>(*SpinLock).store(0, std::memory_order_release);
        setCurrentIrql(NewIrql);
        return;
    }
    auto& held = mutableHeldSpinLocks();
    auto it = held.end();
    for (auto i = held.begin(); i != held.end(); ++i)
        if (i->lock == SpinLock)
            it = i;
    if (it == held.end()) {
        current().verifier().report(
            Rule::SpinLockNotHeld,
            lockName(SpinLock) + " released by a thread that does not hold it", Caller);
        return;
    }
    if (it->previousIrql != NewIrql)
        current().verifier().report(Rule::SpinLockWrongIrql,
                                    lockName(SpinLock) + " released to IRQL " +
                                        std::to_string(NewIrql) + " but it was acquired at IRQL " +
                                        std::to_string(it->previousIrql) + " (" +
                                        describe(it->acquiredAt) + ")",
                                    Caller);
    held.erase(it);
    std::atomic_ref<ULONG_PTR>(*SpinLock).store(0, std::memory_order_release);
    setCurrentIrql(NewIrql);
}

LONG NTAPI InterlockedIncrement(LONG volatile* Addend) {
    const LONG now = std::atomic_ref<LONG>(*const_cast<LONG*>(Addend)).fetch_add(1) + 1;
    noteWordChanged(Addend, now);
    return now;
}

LONG NTAPI InterlockedDecrement(LONG volatile* Addend) {
    const LONG now = std::atomic_ref<LONG>(*const_cast<LONG*>(Addend)).fetch_sub(1) - 1;
    noteWordChanged(Addend, now);
    return now;
}

LONG NTAPI InterlockedExchange(LONG volatile* Target, LONG Value) {
    const LONG old = std::atomic_ref<LONG>(*const_cast<LONG*>(Target)).exchange(Value);
    noteWordChanged(Target, Value);
    return old;
}

LONG NTAPI InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    const LONG old = std::atomic_ref<LONG>(*const_cast<LONG*>(Addend)).fetch_add(Value);
    noteWordChanged(Addend, old + Value);
    return old;
}

LONG NTAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    // On failure Comparand takes the value found, which is what the routine returns either way.
    if (std::atomic_ref<LONG>(*const_cast<LONG*>(Destination))
            .compare_exchange_strong(Comparand, Exchange))
        noteWordChanged(Destination, Exchange);
    return Comparand;
}

PVOID NTAPI InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return std::atomic_ref<PVOID>(*const_cast<PVOID*>(Target)).exchange(Value);
}

PVOID NTAPI InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                              PVOID Comparand) {
    std::atomic_ref<PVOID>(*const_cast<PVOID*>(Destination))
        .compare_exchange_strong(Comparand, Exchange);
    return Comparand;
}
