// One transfer in flight between the bus driver and the host controller.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "sim/usb/device_model.h"
#include "sim/usb/scripted_faults.h"

namespace sim::usb {

class BusDevice;
struct Pipe;

enum class TransferState {
    Queued,    // waiting for the completion thread
    Held,      // held until released
    Waiting,   // the device answered Wait; offered again on wake
    Stuck,     // a scripted fault: never completes unless cancelled or aborted
    InService, // claimed by a thread that is serving or completing it
};

struct Transfer {
    BusDevice* device = nullptr;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    USHORT function = 0;
    UCHAR endpointAddress = 0;  // 0 for the default pipe
    const Pipe* pipe = nullptr; // null for the default pipe
    bool in = false;
    bool shortOk = false;
    std::span<std::uint8_t> buffer;   // the driver's data, host-addressable
    std::optional<SetupPacket> setup; // control transfers
    std::optional<UrbFault> fault;
    bool cancellable = true;
    bool markedPending = false; // the IRP's current location is marked pending already
    TransferState state = TransferState::Queued;
};

// How a transfer ended (or that it must wait).
struct Outcome {
    TransferResult::Kind kind = TransferResult::Kind::Done;
    std::size_t bytes = 0;
    NTSTATUS irpStatus = STATUS_SUCCESS;
    USBD_STATUS usbStatus = USBD_STATUS_SUCCESS;
    // The controller took it into its schedule: it writes the bytes moved into the URB. One the
    // bus failed before (the device gone, its port disabled or suspended) keeps the length the
    // driver wrote.
    bool served = true;

    static Outcome failed(NTSTATUS irp, USBD_STATUS usb) {
        return {TransferResult::Kind::Done, 0, irp, usb};
    }
    static Outcome refused(NTSTATUS irp, USBD_STATUS usb) {
        return {TransferResult::Kind::Done, 0, irp, usb, false};
    }
};

// An error a served transfer ends with that halts its endpoint until URB_FUNCTION_RESET_PIPE
// (USB 2.0, 9.4.5; the USB status's bits 31-30 both set): a stall, a data error, a device that
// stopped answering. A cancelled or aborted transfer leaves the endpoint running.
constexpr bool haltsEndpoint(USBD_STATUS status) {
    return (static_cast<ULONG>(status) >> 30) == 3 && status != USBD_STATUS_CANCELED;
}

// Lets the device do its part of a transfer: the port, the pipe's halt, the scripted fault and the
// model decide. A bulk or interrupt transfer that ends with a halting error, scripted or the
// model's, halts its pipe. Called with no lock of the controller held; serialised per device.
Outcome offerToDevice(Transfer& transfer);
// Writes the bytes moved into the URB's TransferBufferLength.
void setTransferLength(Transfer& transfer, std::size_t bytes);

} // namespace sim::usb
