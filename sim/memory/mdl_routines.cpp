// The platform's MDL routines (mm.h) over the simulator's MDL table.
#include <cstdio>
#include <string>

#include "platform/host/host_platform.h"
#include "sim/core/system.h"
#include "sim/memory/mdl_table.h"

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp, SimCallSite Caller) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    auto& system = sim::current();
    if (system.faults().shouldFail(sim::AllocKind::Mdl, Caller))
        return nullptr;
    PMDL mdl = system.mdls().allocate(VirtualAddress, Length, Caller);
    if (Irp == nullptr)
        return mdl;
    if (SecondaryBuffer && Irp->MdlAddress != nullptr) {
        PMDL last = Irp->MdlAddress;
        while (last->Next != nullptr)
            last = last->Next;
        last->Next = mdl;
    } else {
        Irp->MdlAddress = mdl;
    }
    return mdl;
}

void NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length,
                             SimCallSite Caller) {
    sim::current().mdls().buildPartial(SourceMdl, TargetMdl, VirtualAddress, Length, Caller);
}

void NTAPI IoFreeMdl(PMDL Mdl, SimCallSite Caller) {
    sim::current().mdls().free(Mdl, Caller);
}

// On the platform this raises where the guarded call returns a status; the driver, compiled
// without exceptions, cannot catch that, so a bare call that would raise is a finding.
void NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                               LOCK_OPERATION Operation, SimCallSite Caller) {
    const NTSTATUS status =
        sim::current().mdls().probeAndLock(MemoryDescriptorList, AccessMode, Operation, Caller);
    if (status != STATUS_ACCESS_VIOLATION)
        return;
    char range[96];
    std::snprintf(range, sizeof range, "MDL %p (%p +%u bytes)",
                  static_cast<void*>(MemoryDescriptorList),
                  MmGetMdlVirtualAddress(MemoryDescriptorList), MemoryDescriptorList->ByteCount);
    sim::current().verifier().report(sim::Rule::UnguardedProbe,
                                     std::string("MmProbeAndLockPages of ") + range +
                                         " raised STATUS_ACCESS_VIOLATION outside "
                                         "ProbeAndLockPagesGuarded; the MDL is left unlocked",
                                     Caller);
}

void NTAPI MmUnlockPages(PMDL MemoryDescriptorList, SimCallSite Caller) {
    sim::current().mdls().unlock(MemoryDescriptorList, Caller);
}

PVOID NTAPI MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority, SimCallSite Caller) {
    UNREFERENCED_PARAMETER(Priority);
    return sim::current().mdls().systemAddress(Mdl, Caller);
}
