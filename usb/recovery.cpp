// Pipe and port recovery.
//
// The pipe request URBs are filled field by field as the bus driver reads them; the bus driver
// writes the header's status itself.
#include "usb/recovery.h"
#include "usb/bus_request.h"
#include "usb/pipe_marker.h"
#include "driver/pool.h"

static_assert(sizeof(void*) != 4 || sizeof(struct _URB_PIPE_REQUEST) == 24,
              "the pipe request has the platform's i386 length");

namespace {

NTSTATUS SendPipeRequest(PDEVICE_OBJECT Fdo, USHORT Function, USBD_PIPE_HANDLE PipeHandle) {
    const PURB urb = static_cast<PURB>(AllocateDriverPool(sizeof(struct _URB_PIPE_REQUEST)));
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    urb->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbHeader.Function = Function;
    urb->UrbPipeRequest.PipeHandle = PipeHandle;
    const NTSTATUS status = SubmitUrbSync(Fdo, urb);
    ExFreePool(urb);
    return status;
}

} // namespace

NTSTATUS ResetPipe(PDEVICE_OBJECT Fdo, PUSBD_PIPE_INFORMATION Pipe) {
    return SendPipeRequest(Fdo, URB_FUNCTION_RESET_PIPE, Pipe->PipeHandle);
}

NTSTATUS ResetDeviceIfPortDisabled(PDEVICE_OBJECT Fdo) {
    ULONG portStatus = 0;
    const NTSTATUS status = GetPortStatus(Fdo, &portStatus);
    if (!NT_SUCCESS(status))
        return status;
    if ((portStatus & USBD_PORT_ENABLED) == 0 && (portStatus & USBD_PORT_CONNECTED) != 0)
        return ResetPort(Fdo);
    return status;
}

NTSTATUS AbortOpenPipes(PDEVICE_OBJECT Fdo) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    const PUSBD_INTERFACE_INFORMATION iface = ReadShared(ext->InterfaceInformation);
    NTSTATUS status = STATUS_SUCCESS;
    if (iface == nullptr)
        return status;

    for (ULONG i = 0; i < iface->NumberOfPipes; ++i) {
        const PUSBD_PIPE_INFORMATION pipe = &iface->Pipes[i];
        if (!IsPipeBound(pipe))
            continue;
        status = SendPipeRequest(Fdo, URB_FUNCTION_ABORT_PIPE, pipe->PipeHandle);
        if (!NT_SUCCESS(status))
            return status;
        // A close of the handle may have unbound the pipe while the abort was on its way: then
        // that close has counted it off already.
        if (TryUnbindPipe(pipe))
            InterlockedDecrement(&ext->OpenPipeCount);
    }
    return status;
}
