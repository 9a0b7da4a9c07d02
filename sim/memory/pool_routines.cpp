// ExAllocatePoolWithTag and ExFreePool(WithTag): the driver's view of the simulated pool.
#include "platform/host/host_platform.h"
#include "sim/core/system.h"
#include "sim/memory/pool.h"
#include "sim/sync/dispatcher.h"

namespace {

// Pool may be used up to DISPATCH_LEVEL; paged pool only below it.
void checkIrql(POOL_TYPE type, const char* routine, const SimCallSite& caller) {
    const KIRQL irql = sim::currentIrql();
    const KIRQL limit = type == PagedPool ? APC_LEVEL : DISPATCH_LEVEL;
    if (irql > limit)
        sim::current().verifier().report(sim::Rule::IrqlMisuse,
                                         std::string(routine) + " called at IRQL " +
                                             std::to_string(irql) + " (at most " +
                                             std::to_string(limit) + " allowed)",
                                         caller);
}

} // namespace

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                                  SimCallSite Caller) {
    checkIrql(PoolType, "ExAllocatePoolWithTag", Caller);
    auto& system = sim::current();
    // A must-succeed request never fails on the platform (it stops the machine instead).
    if (PoolType != NonPagedPoolMustSucceed &&
        system.faults().shouldFail(sim::AllocKind::Pool, Caller))
        return nullptr;
    return system.pool().allocate(NumberOfBytes, Tag, Caller);
}

void NTAPI ExFreePool(PVOID P, SimCallSite Caller) {
    checkIrql(NonPagedPool, "ExFreePool", Caller);
    sim::current().pool().free(P, Caller);
}

void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag, SimCallSite Caller) {
    checkIrql(NonPagedPool, "ExFreePoolWithTag", Caller);
    sim::current().pool().free(P, Caller, Tag);
}
