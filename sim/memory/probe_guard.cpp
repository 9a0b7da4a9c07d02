// The host build's probe guard: the simulator's probe returns the status the platform would raise.
#include "platform/platform.h"
#include "sim/core/system.h"
#include "sim/memory/mdl_table.h"

extern "C" NTSTATUS NTAPI ProbeAndLockPagesGuarded(PMDL Mdl, KPROCESSOR_MODE AccessMode,
                                                   LOCK_OPERATION Operation) {
    return sim::current().mdls().probeAndLock(Mdl, AccessMode, Operation, SimCallSite::current());
}
