#include "sim/pnp/filter_driver.h"

#include <new>

#include "sim/core/system.h"
#include "sim/io/io_manager.h"

namespace sim {

namespace {

constexpr ULONG kInheritedFlags = DO_DIRECT_IO | DO_BUFFERED_IO | DO_POWER_PAGABLE;

struct FilterExtension {
    FilterDriver* owner = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    // 1, plus one for each IRP below with this device's completion routine still to run; the
    // removal gives the 1 back and waits for `drained`.
    LONG outstanding = 1;
    KEVENT drained{};
    std::atomic<bool> removed{false};
    std::atomic<LONG> handles{0};     // creates that succeeded through it, less its closes
    std::atomic<bool> leaving{false}; // claimed by whoever detaches and deletes it
};

FilterExtension& extensionOf(PDEVICE_OBJECT device) {
    return *static_cast<FilterExtension*>(device->DeviceExtension);
}

void release(FilterExtension& ext) {
    if (InterlockedDecrement(&ext.outstanding) == 0)
        KeSetEvent(&ext.drained, IO_NO_INCREMENT, FALSE);
}

std::mutex registryMutex; // guards registry
std::map<PDRIVER_OBJECT, FilterDriver*> registry;

} // namespace

FilterDriver::FilterDriver(const std::string& name) {
    driver_ = current().io().loadDriver(name, nullptr, nullptr);
    for (auto& slot : driver_->MajorFunction)
        slot = &FilterDriver::dispatch;
    driver_->DriverExtension->AddDevice = &FilterDriver::addDevice;
    std::lock_guard lock(registryMutex);
    registry[driver_] = this;
}

FilterDriver::~FilterDriver() {
    {
        std::lock_guard lock(registryMutex);
        registry.erase(driver_);
    }
    if (hasCurrent())
        current().io().unloadDriver(driver_);
}

FilterDriver* FilterDriver::of(PDRIVER_OBJECT driver) {
    std::lock_guard lock(registryMutex);
    const auto it = registry.find(driver);
    return it != registry.end() ? it->second : nullptr;
}

void FilterDriver::onPnp(UCHAR minor, std::function<void()> hook) {
    std::lock_guard lock(hooksMutex_);
    if (hook)
        hooks_[minor] = std::move(hook);
    else
        hooks_.erase(minor);
}

void FilterDriver::runHook(UCHAR minor) {
    std::function<void()> hook;
    {
        std::lock_guard lock(hooksMutex_);
        const auto it = hooks_.find(minor);
        if (it != hooks_.end())
            hook = it->second;
    }
    if (hook)
        hook();
}

NTSTATUS NTAPI FilterDriver::addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    const NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr,
                                           FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    FilterExtension& ext = *new (device->DeviceExtension) FilterExtension{};
    ext.owner = of(driver);
    KeInitializeEvent(&ext.drained, NotificationEvent, FALSE);
    ext.lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (ext.lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= ext.lower->Flags & kInheritedFlags;
    device->DeviceType = ext.lower->DeviceType;
    device->Characteristics = ext.lower->Characteristics;
    device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

// Detaches and deletes the device once it is removed and no handle is open on it, whichever of
// the removal and the last close comes second.
void leaveIfDone(PDEVICE_OBJECT device) {
    FilterExtension& ext = extensionOf(device);
    if (!ext.removed.load() || ext.handles.load() != 0 || ext.leaving.exchange(true))
        return;
    IoDetachDevice(ext.lower);
    IoDeleteDevice(device);
}

NTSTATUS NTAPI FilterDriver::passedUp(PDEVICE_OBJECT device, PIRP irp, PVOID) {
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    FilterExtension& ext = extensionOf(device);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE &&
        NT_SUCCESS(irp->IoStatus.Status))
        ext.handles.fetch_add(1);
    release(ext);
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS FilterDriver::dispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    FilterExtension& ext = extensionOf(device);
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    runHook(minor);
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(ext.lower, irp);
    if (minor != IRP_MN_REMOVE_DEVICE)
        return status;
    // What a remove lock does: nothing of this device may be left below when it goes.
    release(ext);
    KeWaitForSingleObject(&ext.drained, Executive, KernelMode, FALSE, nullptr);
    ext.removed.store(true);
    leaveIfDone(device);
    return status;
}

// A device removed under an open handle (the single removal step) stays attached to the deleted
// device below it until the handle's last close, so that the function driver still gets its
// cleanup and close, as it does without a filter.
NTSTATUS passClosingDown(PDEVICE_OBJECT device, PIRP irp) {
    FilterExtension& ext = extensionOf(device);
    const bool close = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE;
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(ext.lower, irp);
    if (close) {
        ext.handles.fetch_sub(1);
        leaveIfDone(device);
    }
    return status;
}

NTSTATUS NTAPI FilterDriver::dispatch(PDEVICE_OBJECT device, PIRP irp) {
    FilterExtension& ext = extensionOf(device);
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    ext.owner->passed_[major].fetch_add(1);
    if (ext.removed.load() || major == IRP_MJ_CLOSE)
        return passClosingDown(device, irp);
    if (major == IRP_MJ_PNP)
        return ext.owner->dispatchPnp(device, irp);
    if (major == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ext.lower, irp);
    }
    InterlockedIncrement(&ext.outstanding);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &FilterDriver::passedUp, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(ext.lower, irp);
}

} // namespace sim
