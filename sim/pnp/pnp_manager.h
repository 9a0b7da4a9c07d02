// The Plug and Play manager: a device appearing on a bus, the function driver added above its
// PDO, and the Plug and Play IRPs sent to the top of the device's stack.
//
// Usage (tests):
//     sim::usb::BusDriver bus;
//     NTSTATUS entry = 0;
//     PDRIVER_OBJECT driver = system_.io().loadDriver("wdmusb", DriverEntry, &entry);
//     sim::DeviceNode& node = system_.pnp().plug(bus, driver);    // PDO, then AddDevice
//     ASSERT_EQ(node.addStatus, STATUS_SUCCESS);
//     ASSERT_EQ(system_.pnp().start(node), STATUS_SUCCESS);       // IRP_MN_START_DEVICE, waited
//
// Every call runs on the caller's thread, which must be at PASSIVE_LEVEL, and waits for the
// driver's answer (a wait that never ends is reported by the dispatcher's hang limit).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/host/host_platform.h"
#include "sim/pnp/interface_registry.h"

namespace sim {

namespace usb {
class BusDriver;
class BusDevice;
class DeviceModel;
} // namespace usb

enum class DeviceNodeState { Added, AddFailed, Started, StartFailed };

struct DeviceNode {
    PDEVICE_OBJECT pdo = nullptr;
    PDRIVER_OBJECT driver = nullptr;     // the function driver
    usb::BusDevice* busDevice = nullptr; // when the device was plugged into a simulated USB bus
    NTSTATUS addStatus = STATUS_SUCCESS;
    NTSTATUS startStatus = STATUS_SUCCESS;
    DeviceNodeState state = DeviceNodeState::Added;
};

class PnpManager {
public:
    PnpManager() = default;
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    DeviceInterfaceRegistry& interfaces() { return interfaces_; }

    // Plugs a device (the loopback device when model is null) into the bus and adds the function
    // driver above its PDO.
    DeviceNode& plug(usb::BusDriver& bus, PDRIVER_OBJECT functionDriver,
                     std::shared_ptr<usb::DeviceModel> model = nullptr);
    // Calls the driver's AddDevice for the PDO at PASSIVE_LEVEL; the result is in addStatus.
    DeviceNode& add(PDRIVER_OBJECT functionDriver, PDEVICE_OBJECT pdo);
    // Sends IRP_MN_START_DEVICE to the top of the node's stack and waits for it.
    NTSTATUS start(DeviceNode& node);

    // Sends one Plug and Play IRP, built as the platform builds them (status preset to
    // STATUS_NOT_SUPPORTED), to the top of the stack `device` belongs to and waits for it.
    // `fill` sets the parameters of the first stack location. Returns the final status;
    // *information gets IoStatus.Information.
    NTSTATUS send(PDEVICE_OBJECT device, UCHAR minor,
                  const std::function<void(IO_STACK_LOCATION&)>& fill = {},
                  ULONG_PTR* information = nullptr);

    std::vector<DeviceNode*> nodes() const;

private:
    DeviceInterfaceRegistry interfaces_;
    mutable std::mutex mutex_; // guards nodes_
    std::vector<std::unique_ptr<DeviceNode>> nodes_;
};

} // namespace sim
