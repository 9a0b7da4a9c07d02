// The default device model: a loopback device.
//
// Bytes written to any OUT endpoint queue up (up to a capacity, after which OUT transfers wait as
// a device that NAKs would) and come back, in order, on any IN endpoint. An IN transfer with
// nothing queued waits, staying pending, until OUT data arrives; one that finds fewer bytes than
// it asked for moves what is there and ends short.
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
// interface holding a bulk IN endpoint 0x81 and then a bulk OUT endpoint 0x02, 512-byte packets.
#pragma once

#include <array>
#include <deque>
#include <mutex>

#include "sim/usb/device_model.h"

namespace sim::usb {

class LoopbackDevice : public DeviceModel {
public:
    static constexpr USHORT kVendorId = 0x1209;
    static constexpr USHORT kProductId = 0x0001;
    static constexpr UCHAR kInEndpoint = 0x81;
    static constexpr UCHAR kOutEndpoint = 0x02;
    static constexpr USHORT kMaxPacketBytes = 512; // high-speed bulk (USB 2.0, 5.8.3)
    static constexpr UCHAR kConfigurationValue = 1;
    static constexpr std::size_t kMemoryBytes = 256;
    static constexpr std::size_t kDefaultCapacityBytes = std::size_t{1} << 20;
    static constexpr UCHAR kRequestClearQueue = 0xFE;
    static constexpr UCHAR kRequestStall = 0xFF;

    explicit LoopbackDevice(std::size_t capacityBytes = kDefaultCapacityBytes);

    // The descriptors described above, for tests that build variations of them.
    static std::vector<std::uint8_t> defaultDeviceDescriptor();
    static std::vector<std::uint8_t> defaultConfigurationDescriptor();

    std::vector<std::uint8_t> deviceDescriptor() override;
    std::vector<std::uint8_t> configurationDescriptor(UCHAR index) override;
    TransferResult control(const SetupPacket& setup, std::span<std::uint8_t> data) override;
    TransferResult transfer(UCHAR endpointAddress, std::span<std::uint8_t> data) override;

    // For tests, from any thread.
    std::size_t queuedBytes() const;
    // Queues bytes as if written to the OUT endpoint, and wakes waiting IN transfers.
    void queueData(std::span<const std::uint8_t> bytes);
    std::array<std::uint8_t, kMemoryBytes> memory() const;
    void setMemory(std::size_t offset, std::span<const std::uint8_t> bytes);

private:
    TransferResult vendorRequest(const SetupPacket& setup, std::span<std::uint8_t> data);

    mutable std::mutex mutex_; // guards queue_ and memory_
    std::size_t capacity_;
    std::deque<std::uint8_t> queue_;
    std::array<std::uint8_t, kMemoryBytes> memory_{};
};

} // namespace sim::usb
