// URB_FUNCTION_ABORT_PIPE and URB_FUNCTION_RESET_PIPE, and the checks URB handlers share.
#include <sstream>

#include "sim/core/system.h"
#include "sim/memory/pool.h"
#include "sim/usb/bus_device.h"
#include "sim/usb/host_controller.h"
#include "sim/usb/pdo_dispatch.h"
#include "sim/usb/status_map.h"

namespace sim::usb {

UrbResult UrbResult::usb(USBD_STATUS status) {
    return UrbResult{ntStatusFor(status), status};
}

std::optional<UrbResult> portFailure(const BusDevice& device) {
    if (!device.portConnected())
        return UrbResult::usb(USBD_STATUS_DEVICE_GONE);
    if (!device.portEnabled())
        return UrbResult::usb(USBD_STATUS_DEV_NOT_RESPONDING);
    if (device.suspended())
        return UrbResult{kStatusDevicePoweredOff, USBD_STATUS_DEV_NOT_RESPONDING};
    return std::nullopt;
}

bool insidePoolBlock(const void* address, std::size_t length, const char* what) {
    const std::optional<std::size_t> left = current().pool().bytesToBlockEnd(address);
    if (!left || length <= *left)
        return true; // in its block, or not pool memory (a test's own buffer): taken as it is
    const std::size_t available = *left;
    const auto block = current().pool().blockContaining(address);
    std::ostringstream message;
    message << what << " of " << length << " bytes runs past its pool block (" << available
            << " bytes left of the block allocated at "
            << (block ? block->allocatedAt : std::string("?")) << ")";
    current().verifier().report(Rule::ObjectMisuse, message.str());
    return false;
}

// Completes every transfer in flight on the pipe with STATUS_CANCELLED / USBD_STATUS_CANCELED,
// whether it waits, is held or was scripted never to complete.
UrbResult abortPipe(BusDevice& device, URB& urb, const std::optional<UrbFault>& fault) {
    if (fault && fault->action == FaultAction::Fail)
        return UrbResult{fault->irpStatus, fault->usbStatus};
    const Pipe* pipe = device.findPipe(urb.UrbPipeRequest.PipeHandle);
    if (pipe == nullptr)
        return UrbResult::usb(USBD_STATUS_INVALID_PIPE_HANDLE);
    device.controller().flush(
        device, [pipe](const Transfer& t) { return t.pipe == pipe; }, STATUS_CANCELLED,
        USBD_STATUS_CANCELED);
    return UrbResult{};
}

// Clears the pipe's halt (CLEAR_FEATURE(ENDPOINT_HALT) to the device, USB 2.0, 9.4.1).
UrbResult resetPipe(BusDevice& device, URB& urb, const std::optional<UrbFault>& fault) {
    if (fault && fault->action == FaultAction::Fail)
        return UrbResult{fault->irpStatus, fault->usbStatus};
    const Pipe* pipe = device.findPipe(urb.UrbPipeRequest.PipeHandle);
    if (pipe == nullptr)
        return UrbResult::usb(USBD_STATUS_INVALID_PIPE_HANDLE);
    if (auto failure = portFailure(device))
        return *failure;
    device.setPipeHalted(pipe, false);
    std::lock_guard lock(device.modelMutex());
    device.model().endpointReset(pipe->endpointAddress);
    return UrbResult{};
}

} // namespace sim::usb
