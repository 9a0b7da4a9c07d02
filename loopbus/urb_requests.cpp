// The child PDO's internal control requests: IOCTL_INTERNAL_USB_SUBMIT_URB with the URB
// functions a function driver sends, and the port's status and reset.
//
// Each URB is checked before anything in it is used: its Hdr.Length against the fixed part of
// its function, a pipe handle against the configuration that issued it (handles of an earlier
// configuration are stale), a select-configuration's interface record against the device's own
// descriptor. A refused URB fails with USBD_STATUS_INVALID_PARAMETER (or the more precise
// status) and STATUS_INVALID_PARAMETER. The IRP status of a USB error follows the platform's
// USB stack: STATUS_CANCELLED for a cancel, STATUS_DEVICE_NOT_CONNECTED for a device that has
// gone, STATUS_UNSUCCESSFUL for the others.
#include "loopbus/loopbus.h"
#include "loopbus/pool.h"
#include "loopbus/urb_outcome.h"
#include "platform/urb_fixed_length.h"

namespace {

constexpr SIZE_T kRecordHeaderBytes = offsetof(USBD_INTERFACE_INFORMATION, Pipes);

constexpr UrbOutcome kSuccess = kUrbSuccess;
constexpr UrbOutcome kRefused = kUrbRefused;
constexpr UrbOutcome kStalled = kUrbStalled;

NTSTATUS CompleteUrb(PIRP Irp, PURB Urb, UrbOutcome Outcome) {
    Urb->UrbHeader.Status = Outcome.UsbStatus;
    return CompleteIrp(Irp, Outcome.Status);
}

// The driver's data buffer: the MDL (mapped to system space) when there is one, else the
// buffer. NULL with a zero length is fine.
bool ResolveBuffer(PVOID Buffer, PMDL Mdl, ULONG Length, UCHAR** Data, UrbOutcome* Failure) {
    *Data = nullptr;
    *Failure = kRefused;
    if (Length == 0)
        return true;
    if (Mdl != nullptr) {
        if (MmGetMdlByteCount(Mdl) < Length)
            return false; // the MDL describes less than the transfer would move
        *Data = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority));
        if (*Data == nullptr)
            *Failure = {STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES};
        return *Data != nullptr;
    }
    *Data = static_cast<UCHAR*>(Buffer);
    return Buffer != nullptr;
}

// --- Handles -------------------------------------------------------------------------------------
// A handle carries the generation of the configuration that issued it and what it names, so that
// a stale one is recognised without keeping memory alive for it.
PVOID MakeHandle(ULONG Generation, ULONG What) {
    return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Generation << 8 | What));
}

// The pipe index a handle names in the current configuration, or kLoopbusPipeCount; Lock held.
ULONG PipeIndexOf(const CHILD_EXTENSION* Child, USBD_PIPE_HANDLE Handle) {
    for (ULONG i = 0; i < kLoopbusPipeCount; ++i)
        if (Child->Configuration != 0 && Handle == MakeHandle(Child->Generation, i + 1))
            return i;
    return kLoopbusPipeCount;
}

// --- Descriptors ---------------------------------------------------------------------------------
// A shorter descriptor than asked for simply ends the data stage (USB 2.0, 9.4.3).
UrbOutcome GetDescriptor(CHILD_EXTENSION* Child, PURB Urb) {
    auto& request = Urb->UrbControlDescriptorRequest;
    UCHAR* data = nullptr;
    UrbOutcome outcome = kSuccess;
    const ULONG asked = request.TransferBufferLength;
    request.TransferBufferLength = 0;
    if (!ResolveBuffer(request.TransferBuffer, request.TransferBufferMDL, asked, &data, &outcome))
        return outcome;
    const UCHAR* descriptor = nullptr;
    ULONG available = 0;
    if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        descriptor = kLoopbackDeviceDescriptor;
        available = sizeof(kLoopbackDeviceDescriptor);
    } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0) {
        descriptor = kLoopbackConfigurationDescriptor;
        available = sizeof(kLoopbackConfigurationDescriptor);
    }
    {
        BusLockGuard lock(Child->Bus);
        LOOPBUS_COUNTS& counts = Child->Bus->Counts;
        if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE)
            ++counts.DeviceDescriptorReads;
        else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)
            ++counts.ConfigurationDescriptorReads;
        if (PortFailure(Child, &outcome))
            return outcome;
    }
    if (descriptor == nullptr)
        return kStalled;
    const ULONG moved = available < asked ? available : asked;
    RtlCopyMemory(data, descriptor, moved);
    request.TransferBufferLength = moved;
    return kSuccess;
}

// --- Select configuration ----------------------------------------------------------------------
// The one interface record the loopback configuration has, checked against its descriptor: it
// must lie inside Hdr.Length, name interface 0, alternate setting 0, with room for both pipes.
bool InterfaceRecordFits(PURB Urb) {
    const SIZE_T first = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    const SIZE_T room = Urb->UrbHeader.Length - first;
    const USBD_INTERFACE_INFORMATION& record = Urb->UrbSelectConfiguration.Interface;
    return room >= kRecordHeaderBytes && record.Length <= room &&
           record.NumberOfPipes == kLoopbusPipeCount &&
           record.Length >=
               kRecordHeaderBytes + kLoopbusPipeCount * sizeof(USBD_PIPE_INFORMATION) &&
           record.InterfaceNumber == 0 && record.AlternateSetting == 0;
}

void FillInterfaceRecord(USBD_INTERFACE_INFORMATION& Record, ULONG Generation) {
    Record.Class = kLoopbackInterfaceClass;
    Record.SubClass = 0;
    Record.Protocol = 0;
    Record.InterfaceHandle = MakeHandle(Generation, 0);
    const UCHAR endpoints[kLoopbusPipeCount] = {kLoopbackInEndpoint, kLoopbackOutEndpoint};
    for (ULONG i = 0; i < kLoopbusPipeCount; ++i) {
        USBD_PIPE_INFORMATION& pipe = Record.Pipes[i];
        pipe.MaximumPacketSize = kLoopbackMaxPacketBytes;
        pipe.EndpointAddress = endpoints[i];
        pipe.Interval = 0;
        pipe.PipeType = UsbdPipeTypeBulk;
        pipe.PipeHandle = MakeHandle(Generation, i + 1);
    }
}

// Selecting a configuration, or none: the pipes of the earlier one close, their waiting
// transfers end cancelled, and their handles become stale.
UrbOutcome SelectConfiguration(CHILD_EXTENSION* Child, PURB Urb) {
    auto& select = Urb->UrbSelectConfiguration;
    const bool none = select.ConfigurationDescriptor == nullptr;
    if (!none &&
        (select.ConfigurationDescriptor->bConfigurationValue != kLoopbackConfigurationValue ||
         !InterfaceRecordFits(Urb))) {
        BusLockGuard lock(Child->Bus);
        ++Child->Bus->Counts.RefusedRequests;
        return kRefused;
    }
    UrbOutcome outcome = kSuccess;
    {
        BusLockGuard lock(Child->Bus);
        ++(none ? Child->Bus->Counts.Unconfigures : Child->Bus->Counts.SelectConfigurations);
        if (PortFailure(Child, &outcome))
            return outcome;
    }
    FlushTransfers(Child, kLoopbusPipeCount, kUrbCancelled);
    BusLockGuard lock(Child->Bus);
    ++Child->Generation;
    for (LOOPBUS_PIPE& pipe : Child->Pipes)
        pipe.Halted = FALSE;
    Child->Configuration = none ? 0 : kLoopbackConfigurationValue;
    if (!none) {
        FillInterfaceRecord(select.Interface, Child->Generation);
        select.ConfigurationHandle = MakeHandle(Child->Generation, 0xFF);
    }
    return kSuccess;
}

// --- Pipe requests -------------------------------------------------------------------------------
// Aborting needs no device: it ends the pipe's waiting transfers even after an unplug.
UrbOutcome AbortPipe(CHILD_EXTENSION* Child, PURB Urb) {
    ULONG index;
    {
        BusLockGuard lock(Child->Bus);
        ++Child->Bus->Counts.AbortPipes;
        index = PipeIndexOf(Child, Urb->UrbPipeRequest.PipeHandle);
    }
    if (index == kLoopbusPipeCount)
        return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
    FlushTransfers(Child, index, kUrbCancelled);
    return kSuccess;
}

// Clears the pipe's halt (CLEAR_FEATURE(ENDPOINT_HALT) to the device, USB 2.0, 9.4.5).
UrbOutcome ResetPipe(CHILD_EXTENSION* Child, PURB Urb) {
    BusLockGuard lock(Child->Bus);
    ++Child->Bus->Counts.ResetPipes;
    const ULONG index = PipeIndexOf(Child, Urb->UrbPipeRequest.PipeHandle);
    if (index == kLoopbusPipeCount)
        return {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
    UrbOutcome outcome = kSuccess;
    if (PortFailure(Child, &outcome))
        return outcome;
    Child->Pipes[index].Halted = FALSE;
    return kSuccess;
}

// --- Vendor requests -----------------------------------------------------------------------------
UrbOutcome VendorRequest(CHILD_EXTENSION* Child, PURB Urb) {
    auto& request = Urb->UrbControlVendorClassRequest;
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    const bool shortOk = (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    const ULONG asked = request.TransferBufferLength;
    request.TransferBufferLength = 0;
    UCHAR* data = nullptr;
    UrbOutcome outcome = kSuccess;
    if (asked > 0xFFFF) // wLength is 16 bits (USB 2.0, 9.3.5)
        return kRefused;
    if (!ResolveBuffer(request.TransferBuffer, request.TransferBufferMDL, asked, &data, &outcome))
        return outcome;
    const UCHAR type =
        static_cast<UCHAR>((in ? 0x80 : 0x00) | 0x40 | request.RequestTypeReservedBits);
    const LoopbackSetup setup = {type, request.Request, request.Value, request.Index};
    BusLockGuard lock(Child->Bus);
    ++Child->Bus->Counts.VendorRequests;
    if (PortFailure(Child, &outcome))
        return outcome;
    const LoopbackResult result = Child->Device.Control(setup, data, asked);
    if (result.Outcome != LoopbackOutcome::Done)
        return kStalled; // the memory answers at once: a vendor request never waits
    request.TransferBufferLength = static_cast<ULONG>(result.Bytes);
    if (in && !shortOk && result.Bytes < asked)
        return {STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER};
    return kSuccess;
}

// --- Bulk transfers: checked here, carried out in bulk_transfers.cpp -----------------------------
NTSTATUS BulkTransfer(CHILD_EXTENSION* Child, PIRP Irp, PURB Urb) {
    auto& transfer = Urb->UrbBulkOrInterruptTransfer;
    const bool in = (transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    ULONG index;
    UrbOutcome outcome = kSuccess;
    {
        BusLockGuard lock(Child->Bus);
        LOOPBUS_COUNTS& counts = Child->Bus->Counts;
        ++(in ? counts.BulkInTransfers : counts.BulkOutTransfers);
        if (transfer.TransferBufferMDL != nullptr)
            ++counts.MdlTransfers;
        index = PipeIndexOf(Child, transfer.PipeHandle);
    }
    if (index == kLoopbusPipeCount)
        outcome = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
    else if (in != (USB_ENDPOINT_DIRECTION_IN(Child->Pipes[index].EndpointAddress) != 0))
        outcome = kRefused;
    UCHAR* data = nullptr;
    if (NT_SUCCESS(outcome.Status) &&
        ResolveBuffer(transfer.TransferBuffer, transfer.TransferBufferMDL,
                      transfer.TransferBufferLength, &data, &outcome))
        return SubmitBulkTransfer(Child, Irp, Urb, data, index);
    {
        BusLockGuard lock(Child->Bus);
        ++Child->Bus->Counts.RefusedRequests;
    }
    transfer.TransferBufferLength = 0;
    return CompleteUrb(Irp, Urb, outcome);
}

NTSTATUS SubmitUrb(CHILD_EXTENSION* Child, PIRP Irp, PURB Urb) {
    if (Urb == nullptr)
        return CompleteIrp(Irp, STATUS_INVALID_PARAMETER);
    const USHORT function = Urb->UrbHeader.Function;
    UrbOutcome outcome = kRefused;
    if (Urb->UrbHeader.Length < UrbFixedLength(function)) {
        BusLockGuard lock(Child->Bus);
        ++Child->Bus->Counts.RefusedRequests;
        return CompleteUrb(Irp, Urb, outcome);
    }
    switch (function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return BulkTransfer(Child, Irp, Urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        outcome = GetDescriptor(Child, Urb);
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        outcome = SelectConfiguration(Child, Urb);
        break;
    case URB_FUNCTION_ABORT_PIPE:
        outcome = AbortPipe(Child, Urb);
        break;
    case URB_FUNCTION_RESET_PIPE:
        outcome = ResetPipe(Child, Urb);
        break;
    case URB_FUNCTION_VENDOR_DEVICE:
        outcome = VendorRequest(Child, Urb);
        break;
    default: {
        BusLockGuard lock(Child->Bus);
        ++Child->Bus->Counts.RefusedRequests;
        outcome = {STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION};
        break;
    }
    }
    return CompleteUrb(Irp, Urb, outcome);
}

// --- Port requests -------------------------------------------------------------------------------
NTSTATUS GetPortStatus(CHILD_EXTENSION* Child, PIRP Irp, PULONG Word) {
    if (Word == nullptr)
        return CompleteIrp(Irp, STATUS_INVALID_PARAMETER);
    {
        BusLockGuard lock(Child->Bus);
        ++Child->Bus->Counts.PortStatusQueries;
        const bool connected = Child->Present && !Child->Gone;
        *Word = (connected ? USBD_PORT_CONNECTED : 0) |
                (connected && Child->PortEnabled ? USBD_PORT_ENABLED : 0);
    }
    return CompleteIrp(Irp, STATUS_SUCCESS);
}

// A port reset enables the port again; the hub restores the device's configuration after it,
// so the pipe handles stay valid, and the halts are cleared.
NTSTATUS ResetPort(CHILD_EXTENSION* Child, PIRP Irp) {
    NTSTATUS status = STATUS_SUCCESS;
    {
        BusLockGuard lock(Child->Bus);
        ++Child->Bus->Counts.PortResets;
        if (!Child->Present || Child->Gone) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else {
            Child->PortEnabled = TRUE;
            for (LOOPBUS_PIPE& pipe : Child->Pipes)
                pipe.Halted = FALSE;
        }
    }
    return CompleteIrp(Irp, status);
}

} // namespace

NTSTATUS ChildDispatchInternalControl(PDEVICE_OBJECT Pdo, PIRP Irp) {
    CHILD_EXTENSION* child = ChildOf(Pdo);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID argument = stack->Parameters.Others.Argument1;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(child, Irp, static_cast<PURB>(argument));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
        return GetPortStatus(child, Irp, static_cast<PULONG>(argument));
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return ResetPort(child, Irp);
    default:
        return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}
