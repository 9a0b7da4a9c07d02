#include "sim/pnp/pnp_manager.h"

#include <algorithm>
#include <string>

#include "sim/core/system.h"
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

std::size_t startsSeen(const usb::BusDevice& device) {
    const auto minors = device.pnpMinorsSeen();
    return static_cast<std::size_t>(std::count(minors.begin(), minors.end(), IRP_MN_START_DEVICE));
}

} // namespace

DeviceNode& PnpManager::plug(usb::BusDriver& bus, PDRIVER_OBJECT functionDriver,
                             std::shared_ptr<usb::DeviceModel> model) {
    usb::BusDevice& device = bus.plug(std::move(model));
    DeviceNode& node = add(functionDriver, device.pdo());
    node.busDevice = &device;
    return node;
}

DeviceNode& PnpManager::add(PDRIVER_OBJECT functionDriver, PDEVICE_OBJECT pdo) {
    checkPassive("was asked to add a device");
    auto node = std::make_unique<DeviceNode>();
    node->pdo = pdo;
    node->driver = functionDriver;
    const PDRIVER_ADD_DEVICE addDevice = functionDriver->DriverExtension != nullptr
                                             ? functionDriver->DriverExtension->AddDevice
                                             : nullptr;
    if (addDevice == nullptr) {
        current().verifier().report(Rule::ObjectMisuse,
                                    "a function driver without AddDevice was added above " +
                                        current().io().describeDevice(pdo));
        node->addStatus = STATUS_NOT_SUPPORTED;
    } else {
        const std::size_t locksBefore = heldSpinLocks().size();
        node->addStatus = addDevice(functionDriver, pdo);
        if (currentIrql() != PASSIVE_LEVEL)
            current().verifier().report(Rule::DispatchChangedIrql,
                                        "AddDevice returned at IRQL " +
                                            std::to_string(currentIrql()) +
                                            ", called at PASSIVE_LEVEL");
        if (heldSpinLocks().size() > locksBefore)
            current().verifier().report(Rule::DispatchReturnedWithLockHeld,
                                        "AddDevice returned holding a spin lock acquired at " +
                                            describe(heldSpinLocks().back().acquiredAt));
    }
    node->state = NT_SUCCESS(node->addStatus) ? DeviceNodeState::Added : DeviceNodeState::AddFailed;
    std::lock_guard lock(mutex_);
    nodes_.push_back(std::move(node));
    return *nodes_.back();
}

NTSTATUS PnpManager::start(DeviceNode& node) {
    if (node.state == DeviceNodeState::AddFailed)
        return STATUS_INVALID_DEVICE_STATE; // no function driver above the PDO to start
    const std::size_t before = node.busDevice != nullptr ? startsSeen(*node.busDevice) : 0;
    node.startStatus = send(node.pdo, IRP_MN_START_DEVICE);
    node.state =
        NT_SUCCESS(node.startStatus) ? DeviceNodeState::Started : DeviceNodeState::StartFailed;
    // A start must reach the bus driver: the device is started from the bottom up.
    if (NT_SUCCESS(node.startStatus) && node.busDevice != nullptr &&
        startsSeen(*node.busDevice) == before)
        current().verifier().report(Rule::PnpIrpCompletedNotForwarded,
                                    "IRP_MN_START_DEVICE completed with success above " +
                                        current().io().describeDevice(node.pdo) +
                                        " without reaching it");
    return node.startStatus;
}

NTSTATUS PnpManager::send(PDEVICE_OBJECT device, UCHAR minor,
                          const std::function<void(IO_STACK_LOCATION&)>& fill,
                          ULONG_PTR* information) {
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
    };
    auto done = std::make_shared<Done>();
    KeInitializeEvent(&done->event, NotificationEvent, FALSE);
    io.setTopCompletion(irp, [done](PIRP finished) {
        done->status = finished->IoStatus;
        KeSetEvent(&done->event, IO_NO_INCREMENT, FALSE);
    });
    io.callDriver(top, irp, false, site);
    KeWaitForSingleObject(&done->event, Executive, KernelMode, FALSE, nullptr);
    if (information != nullptr)
        *information = done->status.Information;
    return done->status.Status;
}

std::vector<DeviceNode*> PnpManager::nodes() const {
    std::lock_guard lock(mutex_);
    std::vector<DeviceNode*> out;
    for (const auto& n : nodes_)
        out.push_back(n.get());
    return out;
}

} // namespace sim
