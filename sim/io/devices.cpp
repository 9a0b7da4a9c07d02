// Driver and device objects: creation, the stack they form by attaching, deletion.
#include <sstream>

#include "sim/core/system.h"
#include "sim/image/routine_call.h"
#include "sim/io/io_manager.h"
#include "sim/sync/dispatcher.h"
#include "sim/util/poison.h"

namespace sim {

namespace {

constexpr std::size_t kExtensionAlignment = 16;

std::string narrow(PUNICODE_STRING name) {
    std::string out;
    if (name == nullptr || name->Buffer == nullptr)
        return out;
    for (std::size_t i = 0; i < name->Length / sizeof(WCHAR); ++i)
        out.push_back(static_cast<char>(name->Buffer[i] < 0x80 ? name->Buffer[i] : '?'));
    return out;
}

} // namespace

// As the platform's handler, it lets the device's next power IRP go before failing this one.
NTSTATUS NTAPI IoManager::defaultDispatch(PDEVICE_OBJECT, PIRP irp) {
    if (irp->Tail.Overlay.CurrentStackLocation->MajorFunction == IRP_MJ_POWER)
        PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_OBJECT IoManager::loadDriver(const std::string& name, PDRIVER_INITIALIZE entry,
                                     NTSTATUS* status) {
    auto memory = std::make_unique<DriverMemory>();
    PDRIVER_OBJECT driver = &memory->object;
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &memory->extension;
    memory->extension.DriverObject = driver;
    driver->DriverInit = entry;
    for (auto& slot : driver->MajorFunction)
        slot = &IoManager::defaultDispatch;
    {
        std::lock_guard lock(mutex_);
        driverMemory_.push_back(std::move(memory));
    }
    (void)name;
    UNICODE_STRING registryPath{};
    const NTSTATUS result =
        entry != nullptr ? callDriverRoutine(entry, driver, &registryPath) : STATUS_SUCCESS;
    if (status != nullptr)
        *status = result;
    return driver;
}

void IoManager::unloadDriver(PDRIVER_OBJECT driver) {
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr;
         device = device->NextDevice)
        current().verifier().report(Rule::ObjectMisuse, "driver unloaded while " +
                                                            describeDevice(device) +
                                                            " still exists");
    if (driver->DriverUnload != nullptr)
        callDriverRoutine(driver->DriverUnload, driver);
}

NTSTATUS IoManager::createDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                                 DEVICE_TYPE type, ULONG characteristics, PDEVICE_OBJECT* out,
                                 const SimCallSite& site) {
    *out = nullptr;
    auto rec = std::make_unique<DeviceRecord>();
    const std::size_t objectBytes = (sizeof(DEVICE_OBJECT) + kExtensionAlignment - 1) /
                                    kExtensionAlignment * kExtensionAlignment;
    rec->size = objectBytes + extensionSize;
    rec->memory = std::make_unique<std::byte[]>(rec->size); // zero-filled, extension included
    rec->createdAt = site;

    auto* device = reinterpret_cast<PDEVICE_OBJECT>(rec->memory.get());
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    device->ReferenceCount = 0;
    device->DriverObject = driver;
    device->Flags = DO_DEVICE_INITIALIZING;
    device->Characteristics = characteristics;
    device->DeviceExtension = extensionSize > 0 ? rec->memory.get() + objectBytes : nullptr;
    device->DeviceType = type;
    device->StackSize = 1;
    device->DeviceObjectExtension = rec.get();
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);

    std::lock_guard lock(mutex_);
    rec->id = nextDeviceId_++;
    std::ostringstream label;
    label << "device #" << rec->id;
    if (name != nullptr && name->Buffer != nullptr)
        label << " " << narrow(name);
    label << " (created at " << describe(site) << ")";
    rec->name = label.str();
    device->NextDevice = driver->DeviceObject;
    driver->DeviceObject = device;
    devices_.emplace(device, std::move(rec));
    *out = device;
    return STATUS_SUCCESS;
}

DeviceRecord* IoManager::record(PDEVICE_OBJECT device) {
    std::lock_guard lock(mutex_);
    return findDevice(device);
}

DeviceRecord* IoManager::findDevice(PDEVICE_OBJECT device) {
    auto it = devices_.find(device);
    return it == devices_.end() ? nullptr : it->second.get();
}

std::string IoManager::describeDevice(PDEVICE_OBJECT device) {
    DeviceRecord* rec = record(device);
    if (rec == nullptr) {
        std::ostringstream out;
        out << "device object " << static_cast<const void*>(device) << " (unknown)";
        return out.str();
    }
    return rec->name;
}

PDEVICE_OBJECT IoManager::topOfStack(PDEVICE_OBJECT device) {
    std::lock_guard lock(mutex_);
    while (device->AttachedDevice != nullptr)
        device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT IoManager::attach(PDEVICE_OBJECT source, PDEVICE_OBJECT target,
                                 const SimCallSite& site) {
    std::lock_guard lock(mutex_);
    DeviceRecord* src = record(source);
    DeviceRecord* dst = record(target);
    if (src == nullptr || dst == nullptr || dst->deleted) {
        current().verifier().report(Rule::ObjectMisuse,
                                    "attach of " + describeDevice(source) + " to " +
                                        describeDevice(target) + " which cannot take it",
                                    site);
        return nullptr;
    }
    PDEVICE_OBJECT top = topOfStack(target);
    top->AttachedDevice = source;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    src->attachedTo = top;
    return top;
}

void IoManager::detach(PDEVICE_OBJECT target, const SimCallSite& site) {
    std::unique_lock lock(mutex_);
    DeviceRecord* lower = record(target);
    if (lower == nullptr || target->AttachedDevice == nullptr) {
        current().verifier().report(
            Rule::ObjectMisuse,
            "IoDetachDevice on " + describeDevice(target) + " which has nothing attached", site);
        return;
    }
    PDEVICE_OBJECT upper = target->AttachedDevice;
    if (DeviceRecord* up = record(upper)) {
        if (up->surpriseRemoved && !up->deleted)
            current().verifier().report(
                Rule::DetachedDuringSurpriseRemoval,
                describeDevice(upper) + " detached while surprise-removed, before removal", site);
        up->attachedTo = nullptr;
    }
    target->AttachedDevice = nullptr;
    // A device deleted while another was attached above it (a function driver's removal under an
    // upper filter, which detaches only after passing the removal down) goes now.
    if (lower->deleted && lower->openHandles == 0) {
        std::unique_ptr<DeviceRecord> gone = releaseDeviceMemory(target);
        lock.unlock();
        forget(std::move(gone));
    }
}

void IoManager::deleteDevice(PDEVICE_OBJECT device, const SimCallSite& site) {
    std::unique_lock lock(mutex_);
    DeviceRecord* rec = record(device);
    if (rec == nullptr || rec->deleted) {
        current().verifier().report(Rule::ObjectMisuse,
                                    "IoDeleteDevice on " + describeDevice(device) +
                                        (rec != nullptr ? ", already deleted" : ""),
                                    site);
        return;
    }
    if (rec->surpriseRemoved)
        current().verifier().report(
            Rule::DeviceDeletedDuringSurpriseRemoval,
            describeDevice(device) + " deleted while surprise-removed, before removal", site);
    if (rec->attachedTo != nullptr)
        current().verifier().report(Rule::ObjectMisuse,
                                    describeDevice(device) + " deleted while still attached", site);
    checkNoIrpInDevice(device, site);
    rec->deleted = true;
    PDRIVER_OBJECT driver = device->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr;
         link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            break;
        }
    }
    // As on the platform, the object stays while a handle refers to it or a device above is still
    // attached to it; the last close or the detach lets it go.
    if (rec->openHandles == 0 && device->AttachedDevice == nullptr) {
        std::unique_ptr<DeviceRecord> gone = releaseDeviceMemory(device);
        lock.unlock();
        forget(std::move(gone));
    }
}

// An IRP sent to the device and not yet completed past its stack location is a reference the
// driver still holds while the IRP is at that location, or while a completion routine the driver
// set for it is still to run: its completion would run into the deleted device. An IRP the
// driver passed on without a completion routine no longer involves it, as on the platform (the
// outstanding-request reference of such an IRP may be given back once it is passed on). The
// removal IRP itself is exempt; a driver deletes its device while handling it.
void IoManager::checkNoIrpInDevice(PDEVICE_OBJECT device, const SimCallSite& site) {
    for (auto& [irp, rec] : irps_) {
        if (rec->freed || rec->finished)
            continue;
        for (const IrpLocationRecord& loc : rec->locations) {
            if (loc.device != device || loc.passed || (loc.passedOn && !loc.routineBelow))
                continue;
            if (loc.major == IRP_MJ_PNP && loc.minor == IRP_MN_REMOVE_DEVICE)
                continue;
            current().verifier().report(Rule::DeviceDeletedWithReferences,
                                        describeDevice(device) + " deleted while " +
                                            describeIrp(irp) + " is still in it",
                                        site);
            break;
        }
    }
}

void IoManager::setSurpriseRemoved(PDEVICE_OBJECT device, bool on) {
    std::lock_guard lock(mutex_);
    if (DeviceRecord* rec = record(device))
        rec->surpriseRemoved = on;
}

void IoManager::referenceDevice(PDEVICE_OBJECT device) {
    std::lock_guard lock(mutex_);
    if (DeviceRecord* rec = record(device)) {
        ++rec->openHandles;
        device->ReferenceCount = static_cast<LONG>(rec->openHandles);
    }
}

void IoManager::dereferenceDevice(PDEVICE_OBJECT device) {
    std::unique_lock lock(mutex_);
    DeviceRecord* rec = record(device);
    if (rec == nullptr || rec->openHandles == 0)
        return;
    --rec->openHandles;
    if (rec->openHandles == 0 && rec->deleted && device->AttachedDevice == nullptr) {
        std::unique_ptr<DeviceRecord> gone = releaseDeviceMemory(device);
        lock.unlock();
        forget(std::move(gone));
    } else {
        device->ReferenceCount = static_cast<LONG>(rec->openHandles);
    }
}

long IoManager::openHandlesOnStack(PDEVICE_OBJECT device) {
    std::lock_guard lock(mutex_);
    long handles = 0;
    for (PDEVICE_OBJECT d = device; d != nullptr; d = d->AttachedDevice)
        if (DeviceRecord* rec = record(d))
            handles += rec->openHandles;
    return handles;
}

// The object and extension are gone for the driver: poisoned, and kept so a later use is caught,
// until kQuarantinedDevices newer ones have joined them.
std::unique_ptr<DeviceRecord> IoManager::releaseDeviceMemory(PDEVICE_OBJECT device) {
    DeviceRecord* rec = record(device);
    poisonFreed(rec->memory.get(), rec->size);
    rec->released = true;
    deletedDevices_.push_back(device);
    if (deletedDevices_.size() <= kQuarantinedDevices)
        return nullptr;
    auto oldest = devices_.extract(deletedDevices_.front());
    deletedDevices_.pop_front();
    unpoison(oldest.mapped()->memory.get(), oldest.mapped()->size);
    return std::move(oldest.mapped());
}

void IoManager::forget(std::unique_ptr<DeviceRecord> gone) {
    if (!gone)
        return;
    const auto device = reinterpret_cast<PDEVICE_OBJECT>(gone->memory.get());
    std::vector<std::function<void(PDEVICE_OBJECT)>> hooks;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, hook] : forgetHooks_)
            hooks.push_back(hook);
    }
    for (const auto& hook : hooks)
        hook(device);
}

std::uint64_t IoManager::addForgetHook(std::function<void(PDEVICE_OBJECT)> hook) {
    std::lock_guard lock(mutex_);
    forgetHooks_.emplace(nextHookId_, std::move(hook));
    return nextHookId_++;
}

void IoManager::removeForgetHook(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    forgetHooks_.erase(id);
}

std::size_t IoManager::deviceRecordCount() {
    std::lock_guard lock(mutex_);
    return devices_.size();
}

} // namespace sim
