// System power transitions: query-power and set-power for a system state, sent to the top of
// every device stack in the platform's order.
#include <algorithm>

#include "sim/core/system.h"
#include "sim/io/io_manager.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/power/power_manager.h"
#include "sim/sync/dispatcher.h"

namespace sim {

namespace {

// The platform asks before it sleeps or hibernates; it does not ask to wake up or to shut down.
bool queriedFirst(SYSTEM_POWER_STATE state) {
    return state >= PowerSystemSleeping1 && state <= PowerSystemHibernate;
}

POWER_ACTION actionFor(SYSTEM_POWER_STATE state) {
    switch (state) {
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemSleeping3:
        return PowerActionSleep;
    case PowerSystemHibernate:
        return PowerActionHibernate;
    case PowerSystemShutdown:
        return PowerActionShutdown;
    default:
        return PowerActionNone;
    }
}

// Stacks whose device is still there for the power manager: a surprise-removed device is gone.
bool takesSystemPower(DeviceNodeState state) {
    return state != DeviceNodeState::SurpriseRemoved && state != DeviceNodeState::Removed &&
           state != DeviceNodeState::Deleted;
}

} // namespace

struct PowerManager::SentIrp {
    PDEVICE_OBJECT top = nullptr;
    KEVENT done{};
    IO_STATUS_BLOCK status{};

    void wait() { KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr); }
};

std::vector<PDEVICE_OBJECT> PowerManager::stackTops(bool newestFirst) const {
    std::vector<PDEVICE_OBJECT> tops;
    for (const DeviceNode* node : current().pnp().nodes())
        if (takesSystemPower(node->state))
            tops.push_back(current().io().topOfStack(node->pdo));
    if (newestFirst)
        std::reverse(tops.begin(), tops.end());
    return tops;
}

std::shared_ptr<PowerManager::SentIrp> PowerManager::sendSystemIrp(PDEVICE_OBJECT top, UCHAR minor,
                                                                   SYSTEM_POWER_STATE state) {
    IoManager& io = current().io();
    const SimCallSite site = SimCallSite::current();
    auto sent = std::make_shared<SentIrp>();
    sent->top = top;
    KeInitializeEvent(&sent->done, NotificationEvent, FALSE);
    PIRP irp = io.allocateIrp(top->StackSize, IrpOrigin::Power, site);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
    first->MajorFunction = IRP_MJ_POWER;
    first->MinorFunction = minor;
    first->Parameters.Power.Type = SystemPowerState;
    first->Parameters.Power.State.SystemState = state;
    first->Parameters.Power.ShutdownType = actionFor(state);
    io.setTopCompletion(irp, [sent](PIRP finished) {
        sent->status = finished->IoStatus;
        KeSetEvent(&sent->done, IO_NO_INCREMENT, FALSE);
    });
    callDriver(top, irp, site);
    return sent;
}

NTSTATUS PowerManager::sendSystemPower(PDEVICE_OBJECT device, UCHAR minor,
                                       SYSTEM_POWER_STATE state) {
    const auto sent = sendSystemIrp(current().io().topOfStack(device), minor, state);
    sent->wait();
    return sent->status.Status;
}

SystemTransition PowerManager::setSystemState(SYSTEM_POWER_STATE state) {
    if (currentIrql() != PASSIVE_LEVEL)
        current().verifier().report(Rule::IrqlMisuse,
                                    "a system power transition was asked for above PASSIVE_LEVEL");
    const std::vector<PDEVICE_OBJECT> tops = stackTops(state != PowerSystemWorking);
    SystemTransition result;
    result.stacks = tops.size();
    // Every stack gets its request before any is waited for.
    const auto sendToAll = [&](UCHAR minor, SYSTEM_POWER_STATE to) {
        std::vector<std::shared_ptr<SentIrp>> sent;
        sent.reserve(tops.size());
        for (PDEVICE_OBJECT top : tops)
            sent.push_back(sendSystemIrp(top, minor, to));
        for (const auto& s : sent)
            s->wait();
        return sent;
    };
    if (queriedFirst(state)) {
        for (const auto& answer : sendToAll(IRP_MN_QUERY_POWER, state)) {
            if (!NT_SUCCESS(answer->status.Status) && !result.vetoed) {
                result.vetoed = true;
                result.vetoedBy = answer->top;
                result.vetoStatus = answer->status.Status;
            }
        }
        if (result.vetoed) {
            sendToAll(IRP_MN_SET_POWER, systemState()); // the queried stacks stay where they are
            return result;
        }
    }
    sendToAll(IRP_MN_SET_POWER, state);
    std::lock_guard lock(mutex_);
    system_ = state;
    return result;
}

} // namespace sim
