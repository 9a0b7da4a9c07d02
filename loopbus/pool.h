// Every allocation of the bus driver: non-paged pool with its tag, released with ExFreePool.
#pragma once

#include "loopbus/loopbus.h"

inline void* AllocateBusPool(SIZE_T Bytes) {
    return ExAllocatePoolWithTag(NonPagedPool, Bytes, kLoopbusPoolTag);
}

// Holds the bus lock for a scope: nothing in it may complete an IRP or call another driver.
class BusLockGuard {
public:
    explicit BusLockGuard(BUS_EXTENSION* Bus) : Lock(&Bus->Lock) { KeAcquireSpinLock(Lock, &Irql); }
    ~BusLockGuard() { KeReleaseSpinLock(Lock, Irql); }
    BusLockGuard(const BusLockGuard&) = delete;
    BusLockGuard& operator=(const BusLockGuard&) = delete;

private:
    PKSPIN_LOCK Lock;
    KIRQL Irql;
};
