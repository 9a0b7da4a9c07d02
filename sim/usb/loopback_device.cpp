// The simulator's face of the shared loopback logic: descriptors as vectors, results as transfer
// results, a mutex around every call, and the host woken when a transfer may now be served.
#include "sim/usb/loopback_device.h"

#include <algorithm>
#include <iterator>

namespace sim::usb {

namespace {

TransferResult resultOf(const LoopbackResult& result) {
    switch (result.Outcome) {
    case LoopbackOutcome::Wait:
        return TransferResult::wait();
    case LoopbackOutcome::Stall:
        return TransferResult::error(USBD_STATUS_STALL_PID);
    case LoopbackOutcome::Done:
        break;
    }
    return TransferResult::done(result.Bytes);
}

} // namespace

LoopbackDevice::LoopbackDevice(std::size_t capacityBytes)
    : storage_(std::make_unique_for_overwrite<std::uint8_t[]>(capacityBytes)) {
    logic_.Initialize(storage_.get(), capacityBytes);
}

std::vector<std::uint8_t> LoopbackDevice::defaultDeviceDescriptor() {
    return {std::begin(kLoopbackDeviceDescriptor), std::end(kLoopbackDeviceDescriptor)};
}

std::vector<std::uint8_t> LoopbackDevice::defaultConfigurationDescriptor() {
    return {std::begin(kLoopbackConfigurationDescriptor),
            std::end(kLoopbackConfigurationDescriptor)};
}

std::vector<std::uint8_t> LoopbackDevice::deviceDescriptor() {
    return defaultDeviceDescriptor();
}

std::vector<std::uint8_t> LoopbackDevice::configurationDescriptor(UCHAR index) {
    return index == 0 ? defaultConfigurationDescriptor() : std::vector<std::uint8_t>{};
}

TransferResult LoopbackDevice::control(const SetupPacket& setup, std::span<std::uint8_t> data) {
    const LoopbackSetup request{setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex};
    std::lock_guard lock(mutex_);
    return resultOf(logic_.Control(request, data.data(), data.size()));
}

TransferResult LoopbackDevice::transfer(UCHAR endpointAddress, std::span<std::uint8_t> data) {
    const bool in = USB_ENDPOINT_DIRECTION_IN(endpointAddress) != 0;
    LoopbackResult result{};
    {
        std::lock_guard lock(mutex_);
        result = in ? logic_.In(data.data(), data.size()) : logic_.Out(data.data(), data.size());
    }
    // Drained bytes make room for OUT transfers that waited on a full queue; queued bytes serve
    // IN transfers that waited for data.
    if (result.Outcome == LoopbackOutcome::Done && result.Bytes > 0)
        if (DeviceHost* h = host())
            h->wake();
    return resultOf(result);
}

std::size_t LoopbackDevice::queuedBytes() const {
    std::lock_guard lock(mutex_);
    return logic_.QueuedBytes();
}

std::size_t LoopbackDevice::queueData(std::span<const std::uint8_t> bytes) {
    std::size_t queued = 0;
    {
        std::lock_guard lock(mutex_);
        queued = logic_.Queue(bytes.data(), bytes.size());
    }
    if (DeviceHost* h = host())
        h->wake();
    return queued;
}

std::array<std::uint8_t, LoopbackDevice::kMemoryBytes> LoopbackDevice::memory() const {
    std::array<std::uint8_t, kMemoryBytes> copy{};
    std::lock_guard lock(mutex_);
    std::copy_n(logic_.Memory(), kMemoryBytes, copy.begin());
    return copy;
}

void LoopbackDevice::setMemory(std::size_t offset, std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    logic_.WriteMemory(offset, bytes.data(), bytes.size());
}

} // namespace sim::usb
