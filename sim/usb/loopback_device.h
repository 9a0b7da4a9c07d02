// The default device model: a loopback device.
//
// Its behaviour is the shared loopback logic (loopback/loopback_logic.h), which the test bus
// driver runs too: bytes written to any OUT endpoint queue up (up to a capacity, after which OUT
// transfers wait as a device that NAKs would) and come back, in order, on any IN endpoint. An IN
// transfer with nothing queued waits, staying pending, until OUT data arrives; one that finds
// fewer bytes than it asked for moves what is there and ends short.
//
// Vendor requests on the default pipe work on a 256-byte memory:
//   - any request with a data stage reads (IN) or writes (OUT) the memory from offset wIndex;
//     wValue is ignored; a range past the end stalls;
//   - an OUT request without data stage stores the low byte of wValue at offset wIndex;
//   - bRequest kRequestClearQueue (0xFE, OUT, no data) discards the queued loopback bytes;
//   - bRequest kRequestStall (0xFF) always stalls.
// Requests that are not vendor requests stall.
//
// Descriptors: device 1209:0001, one configuration (value 1) of 32 bytes with one vendor-class
// interface holding a bulk IN endpoint 0x81 and then a bulk OUT endpoint 0x02, 512-byte packets:
// a high-speed device.
#pragma once

#include <array>
#include <memory>
#include <mutex>

#include "loopback/loopback_logic.h"
#include "sim/usb/device_model.h"

namespace sim::usb {

class LoopbackDevice : public DeviceModel {
public:
    static constexpr USHORT kVendorId = kLoopbackVendorId;
    static constexpr USHORT kProductId = kLoopbackProductId;
    static constexpr UCHAR kInEndpoint = kLoopbackInEndpoint;
    static constexpr UCHAR kOutEndpoint = kLoopbackOutEndpoint;
    static constexpr USHORT kMaxPacketBytes = kLoopbackMaxPacketBytes;
    static constexpr UCHAR kConfigurationValue = kLoopbackConfigurationValue;
    static constexpr std::size_t kMemoryBytes = kLoopbackMemoryBytes;
    static constexpr std::size_t kDefaultCapacityBytes = std::size_t{1} << 20;
    static constexpr UCHAR kRequestClearQueue = kLoopbackRequestClearQueue;
    static constexpr UCHAR kRequestStall = kLoopbackRequestStall;

    explicit LoopbackDevice(std::size_t capacityBytes = kDefaultCapacityBytes);

    // The descriptors described above, for tests that build variations of them.
    static std::vector<std::uint8_t> defaultDeviceDescriptor();
    static std::vector<std::uint8_t> defaultConfigurationDescriptor();

    std::vector<std::uint8_t> deviceDescriptor() override;
    std::vector<std::uint8_t> configurationDescriptor(UCHAR index) override;
    TransferResult control(const SetupPacket& setup, std::span<std::uint8_t> data) override;
    TransferResult transfer(UCHAR endpointAddress, std::span<std::uint8_t> data) override;
    UsbSpeed speed() override { return UsbSpeed::High; } // its 512-byte bulk packets

    // For tests, from any thread.
    std::size_t queuedBytes() const;
    // Queues bytes as if written to the OUT endpoint, as many as the capacity leaves room for,
    // and wakes waiting IN transfers; returns how many were queued.
    std::size_t queueData(std::span<const std::uint8_t> bytes);
    std::array<std::uint8_t, kMemoryBytes> memory() const;
    void setMemory(std::size_t offset, std::span<const std::uint8_t> bytes);

private:
    mutable std::mutex mutex_; // guards logic_ and the queue storage it holds
    // Not filled when made: the host gives a large store's pages only as data first reaches them,
    // so a device plugged costs the bytes it queues, not its capacity.
    std::unique_ptr<std::uint8_t[]> storage_;
    LoopbackLogic logic_{};
};

} // namespace sim::usb
