// The power manager's routines for passing power IRPs: PoCallDriver, and PoStartNextPowerIrp,
// which lets the next power IRP of the device go. The rest of the power manager (system power
// transitions, PoRequestPowerIrp) joins this folder.
#include "platform/host/host_platform.h"
#include "sim/core/system.h"
#include "sim/io/io_manager.h"

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, SimCallSite Caller) {
    return sim::current().io().callDriver(DeviceObject, Irp, true, Caller);
}

void NTAPI PoStartNextPowerIrp(PIRP Irp, SimCallSite Caller) {
    sim::current().io().checkLive(Irp, "PoStartNextPowerIrp", Caller);
}
