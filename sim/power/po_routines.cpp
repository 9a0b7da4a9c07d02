// The power manager's routines as drivers call them.
#include "sim/core/system.h"
#include "sim/power/power_manager.h"

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp, SimCallSite Caller) {
    return sim::current().power().requestPowerIrp(DeviceObject, MinorFunction, PowerState,
                                                  CompletionFunction, Context, Irp, Caller);
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, SimCallSite Caller) {
    return sim::current().power().callDriver(DeviceObject, Irp, Caller);
}

void NTAPI PoStartNextPowerIrp(PIRP Irp, SimCallSite Caller) {
    sim::current().power().startNext(Irp, Caller);
}
