#include "sim/usb/bus_driver.h"

#include <algorithm>

#include "sim/core/system.h"
#include "sim/io/io_manager.h"
#include "sim/pnp/pnp_manager.h"
#include "sim/usb/loopback_device.h"
#include "sim/usb/pdo_dispatch.h"
#include "sim/usb/pdo_extension.h"

namespace sim::usb {

namespace {

NTSTATUS NTAPI busDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& slot : driver->MajorFunction)
        slot = &dispatchPdo;
    return STATUS_SUCCESS;
}

} // namespace

BusDriver::BusDriver() {
    System& system = current();
    NTSTATUS status = STATUS_SUCCESS;
    driver_ = system.io().loadDriver("usbhub", &busDriverEntry, &status);
    shutdownHook_ = system.addShutdownHook([this] { stop(); });
    forgetHook_ = system.io().addForgetHook([this](PDEVICE_OBJECT pdo) { forget(pdo); });
}

BusDriver::~BusDriver() {
    if (hasCurrent())
        current().removeShutdownHook(shutdownHook_);
    stop();
}

void BusDriver::stop() {
    if (stopped_)
        return;
    stopped_ = true;
    if (hasCurrent())
        current().io().removeForgetHook(forgetHook_);
    controller_.shutdown();
    std::vector<std::unique_ptr<BusDevice>> gone;
    {
        std::lock_guard lock(mutex_);
        gone.swap(devices_);
    }
    gone.clear(); // deletes the PDOs
}

BusDevice& BusDriver::plug(std::shared_ptr<DeviceModel> model) {
    if (!model)
        model = std::make_shared<LoopbackDevice>();
    std::unique_lock lock(mutex_);
    const ULONG port = ++lastPort_;
    lock.unlock();
    // Made outside the lock: creating the PDO takes the I/O manager's, which calls forget() with
    // none held.
    auto made = std::make_unique<BusDevice>(*this, std::move(model), port);
    BusDevice& device = *made;
    lock.lock();
    devices_.push_back(std::move(made));
    lock.unlock();
    current().pnp().interfaces().setInstancePath(device.pdo(), device.instancePath());
    return device;
}

void BusDriver::forget(PDEVICE_OBJECT pdo) {
    std::unique_ptr<BusDevice> gone;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(devices_.begin(), devices_.end(),
                               [&](const auto& d) { return d->pdo() == pdo && d->pdoDeleted(); });
        if (it == devices_.end())
            return;
        gone = std::move(*it);
        devices_.erase(it);
    }
    controller_.forget(*gone);
}

std::vector<BusDevice*> BusDriver::devices() const {
    std::lock_guard lock(mutex_);
    std::vector<BusDevice*> out;
    for (const auto& d : devices_)
        out.push_back(d.get());
    return out;
}

BusDevice* BusDriver::deviceOf(PDEVICE_OBJECT pdo) {
    if (pdo == nullptr || pdo->DriverObject == nullptr || pdo->DeviceExtension == nullptr ||
        pdo->DriverObject->MajorFunction[IRP_MJ_PNP] != &dispatchPdo)
        return nullptr;
    const auto* extension = static_cast<const PdoExtension*>(pdo->DeviceExtension);
    return extension->signature == PdoExtension::kSignature ? extension->device : nullptr;
}

// --- observers --------------------------------------------------------------------------------
// Called without the bus's lock held: observers may take their own locks and may be slow.

void BusDriver::addObserver(BusObserver* observer) {
    std::lock_guard lock(mutex_);
    observers_.push_back(observer);
}

void BusDriver::removeObserver(BusObserver* observer) {
    std::lock_guard lock(mutex_);
    std::erase(observers_, observer);
}

std::vector<BusObserver*> BusDriver::observers() const {
    std::lock_guard lock(mutex_);
    return observers_;
}

void BusDriver::notifySubmit(BusDevice& device, const URB& urb, PIRP irp) {
    for (BusObserver* o : observers())
        o->onSubmit(device, urb, irp);
}

void BusDriver::notifyComplete(BusDevice& device, const URB& urb, PIRP irp, NTSTATUS status) {
    for (BusObserver* o : observers())
        o->onComplete(device, urb, irp, status);
}

void BusDriver::notifyRequest(BusDevice& device, PIRP irp) {
    for (BusObserver* o : observers())
        o->onRequest(device, irp);
}

void BusDriver::notifyRequestComplete(BusDevice& device, PIRP irp, NTSTATUS status) {
    for (BusObserver* o : observers())
        o->onRequestComplete(device, irp, status);
}

} // namespace sim::usb
