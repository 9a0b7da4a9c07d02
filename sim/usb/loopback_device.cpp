#include "sim/usb/loopback_device.h"

#include <algorithm>

namespace sim::usb {

namespace {

constexpr UCHAR kRequestTypeMask = 0x60; // USB 2.0, table 9-2: bits 6..5
constexpr UCHAR kRequestTypeVendor = 0x40;
constexpr UCHAR kVendorSpecificClass = 0xFF;

void putWord(std::vector<std::uint8_t>& out, USHORT value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putEndpoint(std::vector<std::uint8_t>& out, UCHAR address) {
    out.insert(out.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, USB_ENDPOINT_TYPE_BULK});
    putWord(out, LoopbackDevice::kMaxPacketBytes);
    out.push_back(0); // bInterval: bulk endpoints do not poll
}

} // namespace

LoopbackDevice::LoopbackDevice(std::size_t capacityBytes) : capacity_(capacityBytes) {}

std::vector<std::uint8_t> LoopbackDevice::defaultDeviceDescriptor() {
    std::vector<std::uint8_t> d{18, USB_DEVICE_DESCRIPTOR_TYPE};
    putWord(d, 0x0200); // bcdUSB 2.00
    d.insert(d.end(), {kVendorSpecificClass, 0, 0, 64});
    putWord(d, kVendorId);
    putWord(d, kProductId);
    putWord(d, 0x0100); // bcdDevice
    d.insert(d.end(), {0, 0, 0, 1});
    return d;
}

std::vector<std::uint8_t> LoopbackDevice::defaultConfigurationDescriptor() {
    std::vector<std::uint8_t> d{9, USB_CONFIGURATION_DESCRIPTOR_TYPE};
    putWord(d, 9 + 9 + 7 + 7);
    d.insert(d.end(), {1, kConfigurationValue, 0, 0x80, 50}); // bus-powered, 100 mA
    d.insert(d.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 2, kVendorSpecificClass, 0, 0, 0});
    putEndpoint(d, kInEndpoint);
    putEndpoint(d, kOutEndpoint);
    return d;
}

std::vector<std::uint8_t> LoopbackDevice::deviceDescriptor() {
    return defaultDeviceDescriptor();
}

std::vector<std::uint8_t> LoopbackDevice::configurationDescriptor(UCHAR index) {
    return index == 0 ? defaultConfigurationDescriptor() : std::vector<std::uint8_t>{};
}

TransferResult LoopbackDevice::control(const SetupPacket& setup, std::span<std::uint8_t> data) {
    if ((setup.bmRequestType & kRequestTypeMask) != kRequestTypeVendor)
        return TransferResult::error(USBD_STATUS_STALL_PID);
    return vendorRequest(setup, data);
}

TransferResult LoopbackDevice::vendorRequest(const SetupPacket& setup,
                                             std::span<std::uint8_t> data) {
    if (setup.bRequest == kRequestStall)
        return TransferResult::error(USBD_STATUS_STALL_PID);
    std::lock_guard lock(mutex_);
    if (setup.bRequest == kRequestClearQueue && !setup.deviceToHost()) {
        queue_.clear();
        return TransferResult::done(0);
    }
    const std::size_t offset = setup.wIndex;
    if (data.empty()) {
        if (setup.deviceToHost() || offset >= kMemoryBytes)
            return TransferResult::error(USBD_STATUS_STALL_PID);
        memory_[offset] = static_cast<std::uint8_t>(setup.wValue & 0xFF);
        return TransferResult::done(0);
    }
    if (offset > kMemoryBytes || data.size() > kMemoryBytes - offset)
        return TransferResult::error(USBD_STATUS_STALL_PID);
    if (setup.deviceToHost())
        std::copy_n(memory_.begin() + static_cast<std::ptrdiff_t>(offset), data.size(),
                    data.begin());
    else
        std::copy(data.begin(), data.end(), memory_.begin() + static_cast<std::ptrdiff_t>(offset));
    return TransferResult::done(data.size());
}

TransferResult LoopbackDevice::transfer(UCHAR endpointAddress, std::span<std::uint8_t> data) {
    std::unique_lock lock(mutex_);
    if (USB_ENDPOINT_DIRECTION_IN(endpointAddress)) {
        if (data.empty())
            return TransferResult::done(0);
        if (queue_.empty())
            return TransferResult::wait();
        const std::size_t moved = std::min(data.size(), queue_.size());
        std::copy_n(queue_.begin(), moved, data.begin());
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(moved));
        lock.unlock();
        if (DeviceHost* h = host()) // room again for OUT transfers that waited on a full queue
            h->wake();
        return TransferResult::done(moved);
    }
    if (capacity_ - std::min(capacity_, queue_.size()) < data.size())
        return TransferResult::wait(); // full: the device NAKs until IN transfers drain it
    queue_.insert(queue_.end(), data.begin(), data.end());
    lock.unlock();
    if (DeviceHost* h = host(); h != nullptr && !data.empty())
        h->wake();
    return TransferResult::done(data.size());
}

std::size_t LoopbackDevice::queuedBytes() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void LoopbackDevice::queueData(std::span<const std::uint8_t> bytes) {
    {
        std::lock_guard lock(mutex_);
        queue_.insert(queue_.end(), bytes.begin(), bytes.end());
    }
    if (DeviceHost* h = host())
        h->wake();
}

std::array<std::uint8_t, LoopbackDevice::kMemoryBytes> LoopbackDevice::memory() const {
    std::lock_guard lock(mutex_);
    return memory_;
}

void LoopbackDevice::setMemory(std::size_t offset, std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < bytes.size() && offset + i < kMemoryBytes; ++i)
        memory_[offset + i] = bytes[i];
}

} // namespace sim::usb
