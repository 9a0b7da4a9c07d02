#include "sim/pnp/pnp_manager.h"

#include <algorithm>
#include <sstream>
#include <string>

#include "sim/core/system.h"
#include "sim/image/routine_call.h"
#include "sim/io/io_manager.h"
#include "sim/sync/dispatcher.h"
#include "sim/usb/bus_driver.h"

namespace sim {

namespace {

// The manager's own requests are made on the caller's thread, which must be free to wait.
void checkPassive(const char* what) {
    if (currentIrql() != PASSIVE_LEVEL)
        current().verifier().report(Rule::IrqlMisuse, std::string("the Plug and Play manager ") +
                                                          what + " above PASSIVE_LEVEL");
}

} // namespace

const char* stateName(DeviceNodeState state) {
    switch (state) {
    case DeviceNodeState::Added:
        return "added";
    case DeviceNodeState::AddFailed:
        return "add failed";
    case DeviceNodeState::Started:
        return "started";
    case DeviceNodeState::StartFailed:
        return "start failed";
    case DeviceNodeState::StopPending:
        return "stop pending";
    case DeviceNodeState::Stopped:
        return "stopped";
    case DeviceNodeState::RemovePending:
        return "remove pending";
    case DeviceNodeState::SurpriseRemoved:
        return "surprise-removed";
    case DeviceNodeState::Removed:
        return "removed";
    case DeviceNodeState::Deleted:
        return "deleted";
    }
    return "?";
}

DeviceNode& PnpManager::plug(usb::BusDriver& bus, PDRIVER_OBJECT functionDriver,
                             std::shared_ptr<usb::DeviceModel> model) {
    usb::BusDevice& device = bus.plug(std::move(model));
    DeviceNode& node = add(functionDriver, device.pdo());
    node.busDevice = &device;
    return node;
}

DeviceNode& PnpManager::add(PDRIVER_OBJECT functionDriver, PDEVICE_OBJECT pdo) {
    checkPassive("was asked to add a device");
    DeviceNode* node = nodeOf(pdo);
    if (node == nullptr ||
        (node->state != DeviceNodeState::Removed && node->state != DeviceNodeState::AddFailed)) {
        auto fresh = std::make_unique<DeviceNode>();
        fresh->pdo = pdo;
        fresh->busDevice = usb::BusDriver::deviceOf(pdo);
        std::lock_guard lock(mutex_);
        node = nodes_.emplace_back(std::move(fresh)).get();
    }
    node->driver = functionDriver;
    node->startStatus = STATUS_SUCCESS;
    std::vector<PDRIVER_OBJECT> lower, upper;
    {
        std::lock_guard lock(mutex_);
        lower = lowerFilters_;
        upper = upperFilters_;
    }
    // The stack is built from the PDO up; a driver that fails its AddDevice fails the device, and
    // the devices already added are sent the removal that lets them go.
    NTSTATUS status = STATUS_SUCCESS;
    for (PDRIVER_OBJECT filter : lower)
        if (NT_SUCCESS(status))
            status = callAddDevice(filter, pdo);
    if (NT_SUCCESS(status))
        status = callAddDevice(functionDriver, pdo);
    for (PDRIVER_OBJECT filter : upper)
        if (NT_SUCCESS(status))
            status = callAddDevice(filter, pdo);
    if (!NT_SUCCESS(status) && current().io().topOfStack(pdo) != pdo)
        sendIrp(pdo, IRP_MN_REMOVE_DEVICE, {}, nullptr, nullptr);
    node->addStatus = status;
    node->state = NT_SUCCESS(status) ? DeviceNodeState::Added : DeviceNodeState::AddFailed;
    return *node;
}

NTSTATUS PnpManager::callAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    const PDRIVER_ADD_DEVICE addDevice =
        driver->DriverExtension != nullptr ? driver->DriverExtension->AddDevice : nullptr;
    if (addDevice == nullptr) {
        current().verifier().report(Rule::ObjectMisuse,
                                    "a driver without AddDevice was added above " +
                                        current().io().describeDevice(pdo));
        return STATUS_NOT_SUPPORTED;
    }
    const std::size_t locksBefore = heldSpinLocks().size();
    const NTSTATUS status = callDriverRoutine(addDevice, driver, pdo);
    if (currentIrql() != PASSIVE_LEVEL)
        current().verifier().report(Rule::DispatchChangedIrql, "AddDevice returned at IRQL " +
                                                                   std::to_string(currentIrql()) +
                                                                   ", called at PASSIVE_LEVEL");
    if (heldSpinLocks().size() > locksBefore)
        current().verifier().report(Rule::DispatchReturnedWithLockHeld,
                                    "AddDevice returned holding a spin lock acquired at " +
                                        describe(heldSpinLocks().back().acquiredAt));
    return status;
}

void PnpManager::setFilters(std::vector<PDRIVER_OBJECT> lower, std::vector<PDRIVER_OBJECT> upper) {
    std::lock_guard lock(mutex_);
    lowerFilters_ = std::move(lower);
    upperFilters_ = std::move(upper);
}

NTSTATUS PnpManager::send(PDEVICE_OBJECT device, UCHAR minor,
                          const std::function<void(IO_STACK_LOCATION&)>& fill,
                          ULONG_PTR* information) {
    return sendIrp(device, minor, fill, information, nullptr);
}

NTSTATUS PnpManager::sendIrp(PDEVICE_OBJECT device, UCHAR minor,
                             const std::function<void(IO_STACK_LOCATION&)>& fill,
                             ULONG_PTR* information, std::string* description,
                             const std::function<bool(NTSTATUS)>& describeIf) {
    checkPassive("sent a Plug and Play IRP");
    IoManager& io = current().io();
    const SimCallSite site = SimCallSite::current();
    PDEVICE_OBJECT top = io.topOfStack(device);
    PIRP irp = io.allocateIrp(top->StackSize, IrpOrigin::Pnp, site);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED; // as the platform presets every PnP IRP
    PIO_STACK_LOCATION first = irp->Tail.Overlay.CurrentStackLocation - 1;
    first->MajorFunction = IRP_MJ_PNP;
    first->MinorFunction = minor;
    if (fill)
        fill(*first);

    struct Done {
        KEVENT event;
        IO_STATUS_BLOCK status{};
        std::string description;
    };
    auto done = std::make_shared<Done>();
    KeInitializeEvent(&done->event, NotificationEvent, FALSE);
    const bool describeIt = description != nullptr;
    io.setTopCompletion(irp, [done, describeIt, &describeIf](PIRP finished) {
        done->status = finished->IoStatus;
        if (describeIt && (!describeIf || describeIf(finished->IoStatus.Status)))
            done->description = current().io().describeIrp(finished);
        KeSetEvent(&done->event, IO_NO_INCREMENT, FALSE);
    });
    // The dispatch routine has returned once callDriver does, and the IRP has been completed to
    // the top once the event is set: the answer is complete only after both.
    io.callDriver(top, irp, false, site);
    KeWaitForSingleObject(&done->event, Executive, KernelMode, FALSE, nullptr);
    if (information != nullptr)
        *information = done->status.Information;
    if (description != nullptr)
        *description = std::move(done->description);
    return done->status.Status;
}

std::vector<DeviceNode*> PnpManager::nodes() const {
    std::lock_guard lock(mutex_);
    std::vector<DeviceNode*> out;
    for (const auto& n : nodes_)
        if (n->state != DeviceNodeState::Deleted)
            out.push_back(n.get());
    return out;
}

std::size_t PnpManager::nodeCount() const {
    std::lock_guard lock(mutex_);
    return nodes_.size();
}

void PnpManager::forgetDevice(PDEVICE_OBJECT device) {
    {
        std::lock_guard lock(mutex_);
        std::erase_if(nodes_, [&](const auto& n) { return n->pdo == device; });
    }
    interfaces_.forget(device);
}

DeviceNode* PnpManager::nodeOf(PDEVICE_OBJECT pdo) const {
    std::lock_guard lock(mutex_);
    for (auto it = nodes_.rbegin(); it != nodes_.rend(); ++it)
        if ((*it)->pdo == pdo)
            return it->get();
    return nullptr;
}

} // namespace sim
