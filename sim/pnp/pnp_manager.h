// The Plug and Play manager: a device appearing on a bus, the function driver added above its
// PDO, and the Plug and Play IRPs sent to the top of the device's stack: start, rebalance (stop
// and start again), removal by request, surprise removal, and a device plugged in again.
//
// Usage (tests):
//     sim::usb::BusDriver bus;
//     NTSTATUS entry = 0;
//     PDRIVER_OBJECT driver = system_.io().loadDriver("wdmusb", DriverEntry, &entry);
//     sim::DeviceNode& node = system_.pnp().plug(bus, driver);    // PDO, then AddDevice
//     ASSERT_EQ(node.addStatus, STATUS_SUCCESS);
//     ASSERT_EQ(system_.pnp().start(node), STATUS_SUCCESS);       // IRP_MN_START_DEVICE, waited
//
//     sim::StopResult r = system_.pnp().stop(node);    // rebalance: query-stop, stop, start
//     EXPECT_EQ(r.outcome, sim::StopOutcome::Restarted);
//
//     sim::RemoveResult q = system_.pnp().remove(node); // query-remove, then remove or cancel
//     system_.pnp().add(driver, node.pdo);              // the PDO stays: a fresh AddDevice
//
//     system_.pnp().surpriseRemove(node);   // marked, unplugged, IRP_MN_SURPRISE_REMOVAL
//     ... close the handles ...
//     system_.pnp().removeDevice(node);     // IRP_MN_REMOVE_DEVICE; the bus deletes its PDO
//     sim::DeviceNode& again = system_.pnp().plug(bus, driver); // a new PDO, a new AddDevice
//
// Every call runs on the caller's thread, which must be at PASSIVE_LEVEL, and waits for the
// driver's answer (a wait that never ends is reported by the dispatcher's hang limit). Each IRP
// goes to the top of the stack with its status preset to STATUS_NOT_SUPPORTED.
//
// The single steps (queryStop, stopDevice, cancelStop, queryRemove, removeDevice, cancelRemove,
// surpriseRemove, start) each send one IRP, move the node's state and run the verifier's checks
// on the answer; `send` sends any minor code and checks nothing. Checks made on each answer:
//   - a removal, surprise removal, cancel-stop or cancel-remove that ends with an error status:
//     PnpIrpFailedWhenMustSucceed;
//   - a state-changing IRP that ends with success (removal, surprise removal and the cancels:
//     with any status) without having reached the PDO: PnpIrpCompletedNotForwarded;
//   - after removal, an interface of the PDO still enabled: InterfaceLeftEnabled; a device still
//     attached above the PDO: ObjectMisuse.
//
// Surprise removal marks every device object of the stack surpriseRemoved (so deleting or
// detaching one before the removal IRP is a finding) until removeDevice sends the removal.
//
// Handles: the application side (sim/io/file_io.h) counts the file objects open on a stack.
// A removal by request (remove) while one is open is vetoed, nothing sent, as the platform vetoes
// it for an outstanding open. After a surprise removal the removal (removeDevice, remove) waits
// until the last handle is closed, and the close of that handle sends it. The single steps
// (queryRemove, removeDevice before any surprise removal, ...) send their IRP whatever is open.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/host_platform.h"
#include "sim/pnp/interface_registry.h"

namespace sim {

namespace usb {
class BusDriver;
class BusDevice;
class DeviceModel;
} // namespace usb

enum class DeviceNodeState {
    Added,           // AddDevice succeeded, not started (or stopped and not started again)
    AddFailed,       // AddDevice failed: no function driver above the PDO
    Started,         //
    StartFailed,     // the last start failed
    StopPending,     // query-stop succeeded
    Stopped,         // stop sent
    RemovePending,   // query-remove succeeded
    SurpriseRemoved, // the device is gone; the removal IRP has not been sent yet
    Removed,         // removal sent; the PDO stays, ready for another AddDevice
    Deleted,         // the bus deleted the PDO (the device was gone): nothing more to send
};

const char* stateName(DeviceNodeState state);

struct DeviceNode {
    PDEVICE_OBJECT pdo = nullptr;        // still the PDO's address once it is deleted
    PDRIVER_OBJECT driver = nullptr;     // the function driver
    usb::BusDevice* busDevice = nullptr; // when the PDO belongs to a simulated USB bus
    NTSTATUS addStatus = STATUS_SUCCESS;
    NTSTATUS startStatus = STATUS_SUCCESS;
    // Read by the last handle's close on an application thread while a test moves the node.
    std::atomic<DeviceNodeState> state{DeviceNodeState::Added};
    // The state a query left, for its cancel to go back to.
    DeviceNodeState beforeQuery = DeviceNodeState::Added;
    // The device objects marked surprise-removed, until the removal IRP is sent.
    std::vector<PDEVICE_OBJECT> surpriseMarked;
};

// What a rebalance did.
enum class StopOutcome {
    Restarted,     // query-stop, stop, start all sent; the start succeeded
    Refused,       // the driver failed query-stop; cancel-stop was sent
    RestartFailed, // the start after the stop failed; removal was sent, as for any failed start
    StopFailed,    // the driver failed the stop and kept the device: nothing more was sent
    NotStarted,    // the node was not started: nothing sent
};

struct StopResult {
    StopOutcome outcome = StopOutcome::NotStarted;
    NTSTATUS queryStatus = STATUS_SUCCESS;  // IRP_MN_QUERY_STOP_DEVICE
    NTSTATUS cancelStatus = STATUS_SUCCESS; // IRP_MN_CANCEL_STOP_DEVICE, when refused
    NTSTATUS stopStatus = STATUS_SUCCESS;   // IRP_MN_STOP_DEVICE
    NTSTATUS startStatus = STATUS_SUCCESS;  // IRP_MN_START_DEVICE
    NTSTATUS removeStatus = STATUS_SUCCESS; // IRP_MN_REMOVE_DEVICE, when the restart failed
};

// What a removal by request did.
enum class RemoveOutcome {
    Removed,  // query-remove (skipped after a surprise removal) then removal
    Refused,  // the driver failed query-remove; cancel-remove was sent
    NotAdded, // no function driver above the PDO, or removed already: nothing sent
    Vetoed,   // a handle is open on the device: nothing sent
    Deferred, // surprise-removed with a handle open: the last close sends the removal
};

struct RemoveResult {
    RemoveOutcome outcome = RemoveOutcome::NotAdded;
    NTSTATUS queryStatus = STATUS_SUCCESS;  // IRP_MN_QUERY_REMOVE_DEVICE
    NTSTATUS cancelStatus = STATUS_SUCCESS; // IRP_MN_CANCEL_REMOVE_DEVICE, when refused
    NTSTATUS removeStatus = STATUS_SUCCESS; // IRP_MN_REMOVE_DEVICE
};

class PnpManager {
public:
    PnpManager() = default;
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    DeviceInterfaceRegistry& interfaces() { return interfaces_; }

    // --- a device appearing --------------------------------------------------------------------
    // Plugs a device (the loopback device when model is null) into the bus and adds the function
    // driver above its new PDO. Plugging again after a surprise removal is how a device returns.
    DeviceNode& plug(usb::BusDriver& bus, PDRIVER_OBJECT functionDriver,
                     std::shared_ptr<usb::DeviceModel> model = nullptr);
    // Calls the AddDevice of the filters and of the function driver for the PDO at PASSIVE_LEVEL;
    // the result is in addStatus. A PDO whose node was removed (or whose AddDevice failed) gets
    // its node back, reset.
    DeviceNode& add(PDRIVER_OBJECT functionDriver, PDEVICE_OBJECT pdo);
    // Filter drivers (sim/pnp/filter_driver.h, or any driver with an AddDevice) added to every
    // device added from now on, as the platform builds a stack from the PDO up: the lower filters
    // first (the first one given lowest), then the function driver, then the upper filters. A
    // driver that fails its AddDevice fails the device (AddFailed), and the devices added before
    // it are sent IRP_MN_REMOVE_DEVICE. Empty lists: no filters.
    void setFilters(std::vector<PDRIVER_OBJECT> lower, std::vector<PDRIVER_OBJECT> upper);
    // Sends IRP_MN_START_DEVICE and waits. A failed start leaves the node StartFailed; sending the
    // removal that follows is the caller's (stop() does it for the start after a stop).
    NTSTATUS start(DeviceNode& node);

    // --- rebalance -----------------------------------------------------------------------------
    // Query-stop; on success stop and start again (the resources re-assigned), and removal if
    // that start fails; on refusal cancel-stop.
    StopResult stop(DeviceNode& node);
    NTSTATUS queryStop(DeviceNode& node);
    NTSTATUS cancelStop(DeviceNode& node);
    NTSTATUS stopDevice(DeviceNode& node);

    // --- removal ---------------------------------------------------------------------------------
    // Query-remove, then removal or, on refusal, cancel-remove. After a surprise removal, only
    // the removal (no query), and the bus deletes the PDO.
    RemoveResult remove(DeviceNode& node);
    NTSTATUS queryRemove(DeviceNode& node);
    NTSTATUS cancelRemove(DeviceNode& node);
    // IRP_MN_REMOVE_DEVICE; when the device is gone (surprise removal) the bus then deletes its
    // PDO and the node becomes Deleted. After a surprise removal with a handle still open,
    // nothing is sent yet and the result is STATUS_PENDING: the last close sends it.
    NTSTATUS removeDevice(DeviceNode& node);
    // Told by the I/O manager that a file object on `device` was closed: a surprise-removed
    // device whose last handle that was gets its removal now.
    void handleClosed(PDEVICE_OBJECT device);
    // The node is marked surprise-removed, the device unplugged from its bus (transfers in
    // flight fail, the port is not connected), then IRP_MN_SURPRISE_REMOVAL is sent; a close
    // meanwhile (the unplug may end a handle's last request) finds the node surprise-removed, and
    // the removal it sends waits for the surprise removal. A node without a function driver (add
    // failed, or removed already) gets no IRP: the bus deletes the PDO at once.
    NTSTATUS surpriseRemove(DeviceNode& node);

    // Sends one Plug and Play IRP, built as the platform builds them (status preset to
    // STATUS_NOT_SUPPORTED), to the top of the stack `device` belongs to and waits for it.
    // `fill` sets the parameters of the first stack location. Returns the final status;
    // *information gets IoStatus.Information. Changes no node and checks nothing.
    NTSTATUS send(PDEVICE_OBJECT device, UCHAR minor,
                  const std::function<void(IO_STACK_LOCATION&)>& fill = {},
                  ULONG_PTR* information = nullptr);

    // The nodes whose PDO exists (Deleted ones are left out), in order of adding.
    std::vector<DeviceNode*> nodes() const;
    // The node of a PDO, or null.
    DeviceNode* nodeOf(PDEVICE_OBJECT pdo) const;
    // Nodes kept, Deleted ones included (until their PDO leaves the I/O manager's quarantine).
    std::size_t nodeCount() const;
    // The I/O manager forgets a deleted device object: a node of that PDO, and its interfaces, go.
    void forgetDevice(PDEVICE_OBJECT device);

private:
    // Calls a driver's AddDevice for the PDO and checks how it returned.
    NTSTATUS callAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    // Sends a Plug and Play IRP to the top of the device's stack and waits for it. With a
    // description asked for, the IRP is described (with its history) as it comes back, when
    // describeIf (given its status) says a finding will need it: wording it is dear.
    NTSTATUS sendIrp(PDEVICE_OBJECT device, UCHAR minor,
                     const std::function<void(IO_STACK_LOCATION&)>& fill, ULONG_PTR* information,
                     std::string* description,
                     const std::function<bool(NTSTATUS)>& describeIf = nullptr);
    // Sends a state-changing IRP to the node's stack and checks the answer.
    NTSTATUS sendChecked(DeviceNode& node, UCHAR minor);
    NTSTATUS sendQuery(DeviceNode& node, UCHAR minor, DeviceNodeState pending);
    NTSTATUS sendCancel(DeviceNode& node, UCHAR minor, DeviceNodeState pending);
    void markSurpriseRemoved(DeviceNode& node);
    void clearSurpriseRemoved(DeviceNode& node);
    void checkAfterRemoval(const DeviceNode& node);
    // A device that left the bus loses its PDO once nothing is attached above it.
    void deletePdoIfGone(DeviceNode& node);

    DeviceInterfaceRegistry interfaces_;
    // Orders a removal with the close that may send it: held while either decides and sends.
    std::recursive_mutex removalOrder_;
    mutable std::mutex mutex_; // guards nodes_ and the filters
    std::vector<std::unique_ptr<DeviceNode>> nodes_;
    std::vector<PDRIVER_OBJECT> lowerFilters_;
    std::vector<PDRIVER_OBJECT> upperFilters_;
};

} // namespace sim
