// What a USB device does, as the simulated host controller sees it.
//
// Usage: a test makes a model (LoopbackDevice, the default; DescriptorDevice, built from any
// descriptor bytes; or a subclass of its own) and plugs it into a BusDriver:
//
//     auto& device = bus.plug(std::make_shared<sim::usb::LoopbackDevice>());
//
// The bus answers the standard GET_DESCRIPTOR requests from deviceDescriptor() and
// configurationDescriptor(); every other request on the default pipe goes to control(), and every
// bulk or interrupt transfer to transfer(). The host controller calls a model from the thread that
// submitted the request, from its completion thread (at DISPATCH_LEVEL) or from a thread releasing
// held transfers, one call at a time per device; accessors a test calls from its own thread must
// lock what they share with those calls.
// A model that answers Wait keeps the transfer pending; it calls host()->wake() when it may be able
// to serve it now (for instance after OUT data arrived).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/host/host_platform.h"

namespace sim::usb {

// The speed a device runs at on its port (USB 2.0, 7.1.7): it decides which packet sizes and
// polling intervals the host controller can schedule for it.
enum class UsbSpeed { Low, Full, High };

// The eight bytes of a control request (USB 2.0, 9.3).
struct SetupPacket {
    UCHAR bmRequestType = 0;
    UCHAR bRequest = 0;
    USHORT wValue = 0;
    USHORT wIndex = 0;
    USHORT wLength = 0;

    bool deviceToHost() const { return (bmRequestType & 0x80) != 0; }
};

// USB 2.0, 9.4: the standard request the bus answers itself.
constexpr UCHAR kRequestGetDescriptor = 0x06;
constexpr UCHAR kRequestTypeStandardIn = 0x80;
constexpr UCHAR kRequestTypeVendorIn = 0xC0;
constexpr UCHAR kRequestTypeVendorOut = 0x40;

// What a device did with one transfer.
struct TransferResult {
    enum class Kind { Done, Wait };
    Kind kind = Kind::Done;
    std::size_t bytes = 0; // moved: IN written into the buffer, OUT taken from it
    USBD_STATUS status = USBD_STATUS_SUCCESS; // a USB error (e.g. a stall) ends the transfer

    static TransferResult done(std::size_t moved) {
        return {Kind::Done, moved, USBD_STATUS_SUCCESS};
    }
    static TransferResult wait() { return {Kind::Wait, 0, USBD_STATUS_SUCCESS}; }
    static TransferResult error(USBD_STATUS usbStatus, std::size_t moved = 0) {
        return {Kind::Done, moved, usbStatus};
    }
};

// The host side as a model reaches it while it is plugged in.
class DeviceHost {
public:
    virtual ~DeviceHost() = default;
    // Offers every transfer this device left waiting to it again, from the completion thread.
    virtual void wake() = 0;
    // Lets transfers held on one endpoint (every endpoint when empty) go to the device; returns
    // how many were released.
    virtual std::size_t releaseHeld(std::optional<UCHAR> endpointAddress = std::nullopt) = 0;
    // The device signals wake (USB remote wakeup): the wait-wake IRP its PDO holds completes with
    // success. False when none is pending.
    virtual bool remoteWakeup() = 0;
};

class DeviceModel {
public:
    virtual ~DeviceModel() = default;

    // The 18-byte device descriptor (USB 2.0, 9.6.1), as the device returns it.
    virtual std::vector<std::uint8_t> deviceDescriptor() = 0;
    // The configuration descriptor with its interface and endpoint descriptors (USB 2.0, 9.6.3),
    // for GET_DESCRIPTOR(CONFIGURATION, index); empty when the device has no such configuration.
    virtual std::vector<std::uint8_t> configurationDescriptor(UCHAR index) = 0;
    // A request on the default pipe other than the standard GET_DESCRIPTOR. IN: fill `data`
    // (setup.wLength bytes at most); OUT: `data` holds the host's bytes.
    virtual TransferResult control(const SetupPacket& setup, std::span<std::uint8_t> data) = 0;
    // A bulk or interrupt transfer. IN endpoint (bit 7 set): fill `data`; OUT: take from it.
    virtual TransferResult transfer(UCHAR endpointAddress, std::span<std::uint8_t> data) = 0;
    // The speed the device runs at; select-configuration refuses endpoints the host controller
    // cannot schedule at it (sim/usb/endpoint_schedule.h).
    virtual UsbSpeed speed() { return UsbSpeed::Full; }

    // Notifications: SET_CONFIGURATION (0 = unconfigured), CLEAR_FEATURE(ENDPOINT_HALT) from a
    // pipe reset, a port reset, and a change of power state.
    virtual void configurationChanged(UCHAR configurationValue) { (void)configurationValue; }
    virtual void endpointReset(UCHAR endpointAddress) { (void)endpointAddress; }
    virtual void portReset() {}
    // The device power state the bus driver put the device in (D1-D3: suspended).
    virtual void powerChanged(DEVICE_POWER_STATE state) { (void)state; }

    // Set by the bus while the model is plugged in; null otherwise.
    void attachHost(DeviceHost* host) { host_.store(host); }
    // Detaches `host` unless the model has been plugged in elsewhere since.
    void detachHost(DeviceHost* host) { host_.compare_exchange_strong(host, nullptr); }
    DeviceHost* host() const { return host_.load(); }

private:
    std::atomic<DeviceHost*> host_{nullptr};
};

} // namespace sim::usb
