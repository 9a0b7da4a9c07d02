// A device plugged into the simulated bus: its PDO, its port, the configuration selected on it
// with the pipe handles it issued, its scripted faults and the capabilities its PDO reports.
//
// Usage (tests):
//     auto& device = bus.plug();                 // the loopback device on a new port
//     PDEVICE_OBJECT pdo = device.pdo();
//     device.setPortEnabled(false);              // the port model: enabled, connected, reset
//     device.faults().add(UrbFault::on(URB_FUNCTION_RESET_PIPE).failWith(...));
//     auto& loopback = device.modelAs<LoopbackDevice>();
//     device.powerAnswers().add(PowerAnswer::setDevice(PowerDeviceD0).failWith(...));
//
// Pipe handles are valid only for the configuration that issued them: a later select (or an
// unconfigure) makes every earlier handle stale.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/usb/device_model.h"
#include "sim/usb/power_answers.h"
#include "sim/usb/scripted_faults.h"

namespace sim::usb {

class BusDriver;
class HostController;

struct Pipe {
    UCHAR endpointAddress = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    USHORT maxPacketSize = 0;
    UCHAR interval = 0;
    bool halted = false; // after a stall, until the pipe is reset
};

struct SelectedInterface {
    UCHAR number = 0;
    UCHAR alternate = 0;
    std::vector<std::unique_ptr<Pipe>> pipes;
};

struct Configuration {
    UCHAR value = 0;
    std::vector<std::unique_ptr<SelectedInterface>> interfaces;
};

class BusDevice : public DeviceHost {
public:
    BusDevice(BusDriver& bus, std::shared_ptr<DeviceModel> model, ULONG portNumber);
    ~BusDevice() override;
    BusDevice(const BusDevice&) = delete;
    BusDevice& operator=(const BusDevice&) = delete;

    PDEVICE_OBJECT pdo() const { return pdo_; }
    BusDriver& bus() const { return bus_; }
    HostController& controller() const;
    ULONG portNumber() const { return portNumber_; }
    DeviceModel& model() const { return *model_; }
    template <class T> T& modelAs() const { return dynamic_cast<T&>(*model_); }
    // "USB#VID_1209&PID_0001#5&1a2b3c&0&1": the device instance path interfaces are named after.
    std::u16string instancePath() const;

    // --- port --------------------------------------------------------------------------------
    bool portEnabled() const;
    bool portConnected() const;
    // Disabling the port (or disconnecting the device) fails every transfer in flight.
    void setPortEnabled(bool enabled);
    void setConnected(bool connected);
    unsigned portResets() const;
    // IOCTL_INTERNAL_USB_RESET_PORT: re-enables a connected port; a disconnected one stays off.
    NTSTATUS resetPort();

    // --- the device leaving the bus
    // --------------------------------------------------------------- Unplugs the device for good:
    // the port is disconnected (transfers in flight fail with USBD_STATUS_DEVICE_GONE, later ones
    // too) and stays so; the PDO answers as a bus driver does for a device that is gone. Plugging a
    // device in again gives a new BusDevice and PDO.
    void unplug();
    bool gone() const;
    // Deletes the PDO once the removal IRP has been through it (the Plug and Play manager calls
    // this for a device that is gone); the BusDevice stays, its pdo() naming a deleted device.
    void deletePdo();
    bool pdoDeleted() const;

    // --- what the PDO reports and has seen ------------------------------------------------------
    void setCapabilities(const DEVICE_CAPABILITIES& capabilities);
    DEVICE_CAPABILITIES capabilities() const;
    static DEVICE_CAPABILITIES defaultCapabilities(ULONG portNumber);
    // A record as the sender of IRP_MN_QUERY_CAPABILITIES must hand it down: zero but for Size,
    // Version 1, and Address and UINumber -1. The PDO refuses a record without Size and Version.
    static DEVICE_CAPABILITIES recordToQuery();
    // The Plug and Play minors that reached the PDO, in order: the latest kPnpMinorsKept at least.
    std::vector<UCHAR> pnpMinorsSeen() const;
    // How many IRPs of a Plug and Play minor reached the PDO, ever.
    std::uint64_t pnpTimesSeen(UCHAR minor) const;
    static constexpr std::size_t kPnpMinorsKept = 1024;
    ScriptedFaults& faults() { return faults_; }

    // --- power -----------------------------------------------------------------------------------
    // The device's power state: D0 when plugged in (the hub enumerated it), then each device
    // set-power the PDO completes with success; a start brings it to D0. In D1-D3 (suspended)
    // every request that must reach the device fails as on a suspended port
    // (STATUS_DEVICE_POWERED_OFF, USBD_STATUS_DEV_NOT_RESPONDING), and going there fails the
    // transfers in flight so.
    DEVICE_POWER_STATE devicePowerState() const;
    bool suspended() const;
    void setDevicePower(DEVICE_POWER_STATE state);
    PowerAnswers& powerAnswers() { return powerAnswers_; }
    // Completes the power IRPs held by a PowerReply::Held answer, in arrival order, on the calling
    // thread at DISPATCH_LEVEL; returns how many.
    std::size_t releasePower();
    std::size_t heldPowerCount() const;

    // --- wait-wake -------------------------------------------------------------------------------
    // IRP_MN_WAIT_WAKE pends on the PDO (cancellable) until the device signals wake.
    bool waitWakePending() const;
    // Completes the pending wait-wake IRP with `status` (STATUS_SUCCESS: the device signalled
    // wake); false when none is pending.
    bool signalWake(NTSTATUS status = STATUS_SUCCESS);

    // --- configuration -------------------------------------------------------------------------
    bool configured() const;
    UCHAR configurationValue() const; // 0 when unconfigured
    // The current configuration's pipe for a handle, or null (stale or unknown handle).
    const Pipe* findPipe(USBD_PIPE_HANDLE handle) const;
    bool pipeHalted(const Pipe* pipe) const;
    void setPipeHalted(const Pipe* pipe, bool halted);
    // Installs a new configuration (null: unconfigured); earlier handles become stale.
    Configuration* install(std::unique_ptr<Configuration> configuration);
    void* configurationHandle() const;

    // --- DeviceHost ----------------------------------------------------------------------------
    void wake() override;
    std::size_t releaseHeld(std::optional<UCHAR> endpointAddress = std::nullopt) override;
    bool remoteWakeup() override { return signalWake(STATUS_SUCCESS); }

    // --- for the bus driver's dispatch routines
    // ---------------------------------------------------
    // Pends a wait-wake IRP: STATUS_PENDING, or the status it was completed with at once.
    NTSTATUS holdWaitWake(PIRP irp);
    // Takes the pending wait-wake IRP if it is `irp` (any when null); null when none.
    PIRP takeWaitWake(PIRP irp);
    // Answers IRP_MN_SET_POWER and IRP_MN_QUERY_POWER as powerAnswers() says; `pended`: the IRP
    // is marked pending already (force pending). Returns what the dispatch routine returns.
    NTSTATUS answerPower(PIRP irp, bool pended);
    void notePnp(UCHAR minor);
    // Serialises calls into the model; recursive, so that a model may release held transfers
    // from inside one of its own calls.
    std::recursive_mutex& modelMutex() { return modelMutex_; }
    // Completes a URB's IRP: sets Hdr.Status and the IRP's status, tells the observers, completes.
    void completeUrb(PIRP irp, PURB urb, NTSTATUS irpStatus, USBD_STATUS usbStatus);
    void completeRequest(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

private:
    void createPdo();
    void failInFlight(USBD_STATUS usbStatus, NTSTATUS irpStatus);
    void finishPower(PIRP irp, NTSTATUS status);

    struct HeldPower {
        PIRP irp = nullptr;
        NTSTATUS status = STATUS_SUCCESS;
    };

    BusDriver& bus_;
    std::shared_ptr<DeviceModel> model_;
    const ULONG portNumber_;
    PDEVICE_OBJECT pdo_ = nullptr;
    ScriptedFaults faults_;
    PowerAnswers powerAnswers_;
    std::recursive_mutex modelMutex_;

    mutable std::mutex mutex_; // guards everything below
    bool enabled_ = true;
    bool connected_ = true;
    bool gone_ = false;
    bool pdoDeleted_ = false;
    unsigned resets_ = 0;
    DEVICE_CAPABILITIES capabilities_{};
    std::vector<UCHAR> pnpSeen_;
    // By minor; read without mutex_, as the Plug and Play manager asks from a top completion,
    // which runs under the I/O manager's lock (taken inside ours on the dispatch path).
    std::array<std::atomic<std::uint64_t>, 256> pnpCounts_{};
    DEVICE_POWER_STATE powerState_ = PowerDeviceD0;
    PIRP waitWake_ = nullptr;
    std::vector<HeldPower> heldPower_;
    static constexpr std::size_t kKeptConfigurations = 64;
    std::deque<std::unique_ptr<Configuration>> configurations_; // the latest issued, oldest first
    Configuration* current_ = nullptr;
};

} // namespace sim::usb
