// The state changes the Plug and Play manager drives: start, rebalance, removal by request and
// surprise removal, with the checks the verifier makes on each answer.
#include <sstream>
#include <string>

#include "sim/core/system.h"
#include "sim/io/io_manager.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/bus_device.h"

namespace sim {

namespace {

const char* minorName(UCHAR minor) {
    switch (minor) {
    case IRP_MN_START_DEVICE:
        return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE:
        return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE:
        return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE:
        return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_CANCEL_STOP_DEVICE:
        return "IRP_MN_CANCEL_STOP_DEVICE";
    case IRP_MN_SURPRISE_REMOVAL:
        return "IRP_MN_SURPRISE_REMOVAL";
    default:
        return "a Plug and Play IRP";
    }
}

// Requests a driver may not refuse: the platform goes on as if they had succeeded.
bool mustSucceed(UCHAR minor) {
    return minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
           minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE;
}

// States in which a function driver sits above the PDO and takes Plug and Play IRPs.
bool hasFunctionDriver(DeviceNodeState state) {
    switch (state) {
    case DeviceNodeState::Added:
    case DeviceNodeState::Started:
    case DeviceNodeState::StartFailed:
    case DeviceNodeState::StopPending:
    case DeviceNodeState::Stopped:
    case DeviceNodeState::RemovePending:
        return true;
    default:
        return false;
    }
}

std::string statusText(NTSTATUS status) {
    std::ostringstream out;
    out << "0x" << std::hex << static_cast<ULONG>(status);
    return out.str();
}

std::string narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

} // namespace

NTSTATUS PnpManager::sendChecked(DeviceNode& node, UCHAR minor) {
    usb::BusDevice* bus =
        node.busDevice != nullptr && !node.busDevice->pdoDeleted() ? node.busDevice : nullptr;
    const std::size_t before = bus != nullptr ? bus->pnpTimesSeen(minor) : 0;
    // Only a PDO of the simulated bus tells what reached it; others are taken on trust.
    const auto reachedPdo = [&] { return bus == nullptr || bus->pnpTimesSeen(minor) > before; };
    const auto findingDue = [&](NTSTATUS status) {
        return (mustSucceed(minor) && !NT_SUCCESS(status)) ||
               (!reachedPdo() && (NT_SUCCESS(status) || mustSucceed(minor)));
    };
    std::string irp;
    const NTSTATUS status = sendIrp(node.pdo, minor, {}, nullptr, &irp, findingDue);
    if (!findingDue(status))
        return status;

    Verifier& verifier = current().verifier();
    const std::string where = current().io().describeDevice(node.pdo);
    if (mustSucceed(minor) && !NT_SUCCESS(status))
        verifier.report(Rule::PnpIrpFailedWhenMustSucceed,
                        std::string(minorName(minor)) + " failed with " + statusText(status) +
                            " in the stack of " + where + ", which may not fail it: " + irp);
    if (!reachedPdo() && (NT_SUCCESS(status) || mustSucceed(minor)))
        verifier.report(Rule::PnpIrpCompletedNotForwarded,
                        std::string(minorName(minor)) + " completed with " + statusText(status) +
                            " above " + where + " without reaching it: " + irp);
    return status;
}

// --- start and rebalance --------------------------------------------------------------------

NTSTATUS PnpManager::start(DeviceNode& node) {
    if (!hasFunctionDriver(node.state))
        return STATUS_INVALID_DEVICE_STATE; // no function driver above the PDO to start
    node.startStatus = sendChecked(node, IRP_MN_START_DEVICE);
    node.state =
        NT_SUCCESS(node.startStatus) ? DeviceNodeState::Started : DeviceNodeState::StartFailed;
    return node.startStatus;
}

// A query that succeeds leaves the node pending; its cancel goes back to where the query found it.
NTSTATUS PnpManager::sendQuery(DeviceNode& node, UCHAR minor, DeviceNodeState pending) {
    if (!hasFunctionDriver(node.state))
        return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = sendChecked(node, minor);
    if (NT_SUCCESS(status)) {
        node.beforeQuery = node.state;
        node.state = pending;
    }
    return status;
}

NTSTATUS PnpManager::sendCancel(DeviceNode& node, UCHAR minor, DeviceNodeState pending) {
    if (!hasFunctionDriver(node.state))
        return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = sendChecked(node, minor);
    if (node.state == pending)
        node.state = node.beforeQuery;
    return status;
}

NTSTATUS PnpManager::queryStop(DeviceNode& node) {
    return sendQuery(node, IRP_MN_QUERY_STOP_DEVICE, DeviceNodeState::StopPending);
}

NTSTATUS PnpManager::cancelStop(DeviceNode& node) {
    return sendCancel(node, IRP_MN_CANCEL_STOP_DEVICE, DeviceNodeState::StopPending);
}

NTSTATUS PnpManager::stopDevice(DeviceNode& node) {
    if (!hasFunctionDriver(node.state))
        return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = sendChecked(node, IRP_MN_STOP_DEVICE);
    if (NT_SUCCESS(status))
        node.state = DeviceNodeState::Stopped;
    else if (node.state == DeviceNodeState::StopPending)
        node.state = node.beforeQuery; // the driver kept the device
    return status;
}

StopResult PnpManager::stop(DeviceNode& node) {
    StopResult result;
    if (node.state != DeviceNodeState::Started)
        return result;
    result.queryStatus = queryStop(node);
    if (!NT_SUCCESS(result.queryStatus)) {
        result.cancelStatus = cancelStop(node);
        result.outcome = StopOutcome::Refused;
        return result;
    }
    result.stopStatus = stopDevice(node);
    if (!NT_SUCCESS(result.stopStatus)) {
        result.outcome = StopOutcome::StopFailed;
        return result;
    }
    result.startStatus = start(node);
    if (NT_SUCCESS(result.startStatus)) {
        result.outcome = StopOutcome::Restarted;
        return result;
    }
    // A device that fails to start is removed, its driver told to let go of it.
    result.removeStatus = removeDevice(node);
    result.outcome = StopOutcome::RestartFailed;
    return result;
}

// --- removal --------------------------------------------------------------------------------

NTSTATUS PnpManager::queryRemove(DeviceNode& node) {
    return sendQuery(node, IRP_MN_QUERY_REMOVE_DEVICE, DeviceNodeState::RemovePending);
}

NTSTATUS PnpManager::cancelRemove(DeviceNode& node) {
    return sendCancel(node, IRP_MN_CANCEL_REMOVE_DEVICE, DeviceNodeState::RemovePending);
}

NTSTATUS PnpManager::removeDevice(DeviceNode& node) {
    std::lock_guard order(removalOrder_);
    if (!hasFunctionDriver(node.state) && node.state != DeviceNodeState::SurpriseRemoved)
        return STATUS_INVALID_DEVICE_STATE;
    if (node.state == DeviceNodeState::SurpriseRemoved &&
        current().io().openHandlesOnStack(node.pdo) > 0)
        return STATUS_PENDING;  // sent by the close of the last handle
    clearSurpriseRemoved(node); // the removal is when the driver may detach and delete
    const NTSTATUS status = sendChecked(node, IRP_MN_REMOVE_DEVICE);
    node.state = DeviceNodeState::Removed;
    checkAfterRemoval(node);
    deletePdoIfGone(node);
    return status;
}

RemoveResult PnpManager::remove(DeviceNode& node) {
    std::lock_guard order(removalOrder_);
    RemoveResult result;
    if (node.state == DeviceNodeState::SurpriseRemoved) {
        result.removeStatus = removeDevice(node); // a device that is gone is not asked
        result.outcome = result.removeStatus == STATUS_PENDING ? RemoveOutcome::Deferred
                                                               : RemoveOutcome::Removed;
        return result;
    }
    if (!hasFunctionDriver(node.state))
        return result;
    if (current().io().openHandlesOnStack(node.pdo) > 0) {
        result.outcome = RemoveOutcome::Vetoed;
        return result;
    }
    result.queryStatus = queryRemove(node);
    if (!NT_SUCCESS(result.queryStatus)) {
        result.cancelStatus = cancelRemove(node);
        result.outcome = RemoveOutcome::Refused;
        return result;
    }
    result.removeStatus = removeDevice(node);
    result.outcome = RemoveOutcome::Removed;
    return result;
}

void PnpManager::handleClosed(PDEVICE_OBJECT device) {
    std::lock_guard order(removalOrder_);
    for (DeviceNode* node : nodes()) {
        if (node->state != DeviceNodeState::SurpriseRemoved)
            continue;
        bool inStack = false;
        for (PDEVICE_OBJECT d = node->pdo; d != nullptr && !inStack; d = d->AttachedDevice)
            inStack = d == device;
        if (inStack && current().io().openHandlesOnStack(node->pdo) == 0)
            removeDevice(*node);
    }
}

// A started (or stopped) device that vanishes is told at once with IRP_MN_SURPRISE_REMOVAL and
// removed later; one that never started has nothing running and is removed at once, as the
// platform does.
//
// The node is surprise-removed before the device leaves the bus: the unplug ends the requests in
// flight, and a handle whose last request that was may be closed at once. Its close must find the
// node waiting for the last close, or the removal would never be sent; the removal order keeps
// the removal that close sends until the surprise removal has been through the stack.
NTSTATUS PnpManager::surpriseRemove(DeviceNode& node) {
    std::lock_guard order(removalOrder_);
    const DeviceNodeState state = node.state;
    if (state == DeviceNodeState::Deleted || state == DeviceNodeState::SurpriseRemoved)
        return STATUS_INVALID_DEVICE_STATE;
    const bool neverStarted =
        state == DeviceNodeState::Added || state == DeviceNodeState::StartFailed;
    if (!hasFunctionDriver(state) || neverStarted) {
        if (node.busDevice != nullptr)
            node.busDevice->unplug();
        if (neverStarted)
            return removeDevice(node);
        deletePdoIfGone(node);
        return STATUS_SUCCESS;
    }
    markSurpriseRemoved(node);
    node.state = DeviceNodeState::SurpriseRemoved;
    if (node.busDevice != nullptr)
        node.busDevice->unplug();
    return sendChecked(node, IRP_MN_SURPRISE_REMOVAL);
}

void PnpManager::markSurpriseRemoved(DeviceNode& node) {
    IoManager& io = current().io();
    for (PDEVICE_OBJECT device = node.pdo; device != nullptr; device = device->AttachedDevice) {
        io.setSurpriseRemoved(device, true);
        node.surpriseMarked.push_back(device);
    }
}

void PnpManager::clearSurpriseRemoved(DeviceNode& node) {
    for (PDEVICE_OBJECT device : node.surpriseMarked)
        current().io().setSurpriseRemoved(device, false);
    node.surpriseMarked.clear();
}

// After removal nothing of the function driver may be left on the PDO.
void PnpManager::checkAfterRemoval(const DeviceNode& node) {
    IoManager& io = current().io();
    for (const DeviceInterface& i : interfaces_.enabledFor(node.pdo))
        current().verifier().report(Rule::InterfaceLeftEnabled,
                                    "interface " + narrow(i.link) + " of " +
                                        io.describeDevice(node.pdo) +
                                        " still enabled after IRP_MN_REMOVE_DEVICE");
    PDEVICE_OBJECT top = io.topOfStack(node.pdo);
    if (top != node.pdo)
        current().verifier().report(Rule::ObjectMisuse,
                                    io.describeDevice(top) + " still attached above " +
                                        io.describeDevice(node.pdo) +
                                        " after IRP_MN_REMOVE_DEVICE (detach and delete it there)");
}

void PnpManager::deletePdoIfGone(DeviceNode& node) {
    usb::BusDevice* device = node.busDevice;
    if (device == nullptr || !device->gone() || device->pdoDeleted())
        return;
    if (current().io().topOfStack(node.pdo) != node.pdo)
        return; // a device left attached keeps the PDO (reported by the removal's checks)
    device->deletePdo();
    node.state = DeviceNodeState::Deleted;
}

} // namespace sim
