// PoRequestPowerIrp: a power IRP the power manager builds for a PDO's stack on a driver's behalf,
// sends to the top of that stack, and reports back through the driver's routine.
//
// As on the platform, the IRP carries one stack location more than the stack needs, the power
// manager's own, whose completion routine calls the requester's routine once every driver of the
// stack has completed the IRP. That routine runs at DISPATCH_LEVEL here, whatever the IRQL of the
// completion: the platform may call it at DISPATCH_LEVEL, so a routine that waits is a finding
// every time rather than only when a bus driver happens to complete from its DPC.
#include <memory>
#include <sstream>

#include "sim/core/system.h"
#include "sim/image/routine_call.h"
#include "sim/io/io_manager.h"
#include "sim/power/power_manager.h"
#include "sim/sync/dispatcher.h"

namespace sim {

namespace {

struct Request {
    PREQUEST_POWER_COMPLETE routine = nullptr;
    PVOID context = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    UCHAR minor = 0;
    POWER_STATE state{};
    std::string requestedAt;
};

NTSTATUS NTAPI requestCompleted(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    const std::unique_ptr<Request> request(static_cast<Request*>(context));
    if (request->routine == nullptr)
        return STATUS_SUCCESS;
    AtDispatchLevel raised;
    RunningFor running("the completion routine of the power IRP requested at " +
                       request->requestedAt);
    const std::size_t locksBefore = heldSpinLocks().size();
    callDriverRoutine(request->routine, request->pdo, request->minor, request->state,
                      request->context, &irp->IoStatus);
    Verifier& verifier = current().verifier();
    if (currentIrql() != DISPATCH_LEVEL)
        verifier.report(Rule::DispatchChangedIrql,
                        "the completion routine of the power IRP requested at " +
                            request->requestedAt + " returned at IRQL " +
                            std::to_string(currentIrql()) + ", called at DISPATCH_LEVEL");
    if (heldSpinLocks().size() > locksBefore)
        verifier.report(Rule::DispatchReturnedWithLockHeld,
                        "the completion routine of the power IRP requested at " +
                            request->requestedAt + " returned holding a spin lock acquired at " +
                            describe(heldSpinLocks().back().acquiredAt));
    return STATUS_SUCCESS; // on to the top, where the power manager frees the IRP
}

bool requestable(UCHAR minor) {
    return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER || minor == IRP_MN_WAIT_WAKE;
}

} // namespace

PIRP PowerManager::buildRequest(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE state,
                                PREQUEST_POWER_COMPLETE completion, PVOID context,
                                const SimCallSite& site) {
    IoManager& io = current().io();
    const PDEVICE_OBJECT top = io.topOfStack(pdo);
    PIRP irp = io.allocateIrp(static_cast<CCHAR>(top->StackSize + 1), IrpOrigin::Power, site);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetNextIrpStackLocation(irp); // the power manager's own location
    irp->Tail.Overlay.CurrentStackLocation->DeviceObject = pdo;

    PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
    first->MajorFunction = IRP_MJ_POWER;
    first->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        first->Parameters.WaitWake.PowerState = state.SystemState;
    } else {
        first->Parameters.Power.Type = DevicePowerState;
        first->Parameters.Power.State = state;
        first->Parameters.Power.ShutdownType = PowerActionNone;
    }
    auto request =
        std::make_unique<Request>(Request{completion, context, pdo, minor, state, describe(site)});
    IoSetCompletionRoutine(irp, &requestCompleted, request.release(), TRUE, TRUE, TRUE);
    return irp;
}

NTSTATUS PowerManager::requestPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state,
                                       PREQUEST_POWER_COMPLETE completion, PVOID context, PIRP* out,
                                       const SimCallSite& site) {
    if (out != nullptr)
        *out = nullptr;
    IoManager& io = current().io();
    if (!requestable(minor)) {
        std::ostringstream what;
        what << "PoRequestPowerIrp with minor 0x" << std::hex << int(minor)
             << ": only set-power, query-power and wait-wake IRPs can be requested";
        current().verifier().report(Rule::ObjectMisuse, what.str(), site);
        return STATUS_INVALID_PARAMETER;
    }
    const DeviceRecord* target = io.record(device);
    if (target == nullptr || target->deleted || target->attachedTo != nullptr) {
        current().verifier().report(Rule::ObjectMisuse,
                                    "PoRequestPowerIrp for " + io.describeDevice(device) +
                                        ", which is not a physical device object (a PDO, the "
                                        "bottom of its stack)",
                                    site);
        return STATUS_INVALID_PARAMETER;
    }
    if (current().faults().shouldFail(AllocKind::PowerRequest, site))
        return STATUS_INSUFFICIENT_RESOURCES;

    PIRP irp = buildRequest(device, minor, state, completion, context, site);
    if (out != nullptr)
        *out = irp;
    callDriver(io.topOfStack(device), irp, site);
    return STATUS_PENDING;
}

} // namespace sim
