// IOCTL_VENDOR_REQUEST: a vendor-specific request to the device on its default pipe, with the
// application's buffer as the data stage.
//
// The record is checked before anything is sent: it must be whole, and a data stage must have a
// buffer. The buffer is the application's: it is probed and locked on behalf of user mode for
// modify access, whichever way the data goes, so that a bad, read-only or kernel address fails
// the request with the probe's status instead of reaching the bus driver.
#include "io/device_control.h"
#include "driver/pool.h"
#include "public/wdmusb.h"
#include "usb/bus_request.h"

static_assert(sizeof(void*) != 4 || sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80,
              "the vendor request has the platform's i386 length");

namespace {

constexpr UCHAR kRequestTypeDeviceToHost = 0x80; // bmRequestType bit 7 (USB 2.0, 9.3.1)

// A locked MDL of the application's data buffer, or the status why there is none.
NTSTATUS LockApplicationBuffer(const VENDOR_REQUEST& Request, PMDL* Mdl) {
    const PVOID address = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Request.Buffer));
    const PMDL mdl = IoAllocateMdl(address, Request.Length, FALSE, FALSE, nullptr);
    if (mdl == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = ProbeAndLockPagesGuarded(mdl, UserMode, IoModifyAccess);
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(mdl);
        return status;
    }
    *Mdl = mdl;
    return status;
}

void FillVendorUrb(PURB Urb, const VENDOR_REQUEST& Request, BOOLEAN DataIn, PMDL Mdl) {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& vendor = Urb->UrbControlVendorClassRequest;
    vendor.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    vendor.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
    vendor.TransferFlags = DataIn ? USBD_TRANSFER_DIRECTION_IN : 0; // no short transfer
    vendor.TransferBufferLength = Mdl != nullptr ? Request.Length : 0;
    vendor.TransferBuffer = nullptr;
    vendor.TransferBufferMDL = Mdl;
    vendor.RequestTypeReservedBits = 0;
    vendor.Request = Request.Request;
    vendor.Value = Request.Value;
    vendor.Index = Request.Index;
    vendor.UrbLink = nullptr;
}

} // namespace

NTSTATUS SendVendorRequest(PDEVICE_OBJECT Fdo, PIRP Irp) {
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(VENDOR_REQUEST))
        return STATUS_INVALID_PARAMETER;
    VENDOR_REQUEST request;
    RtlCopyMemory(&request, Irp->AssociatedIrp.SystemBuffer, sizeof(request));
    if (request.Buffer == 0 && request.Length != 0)
        return STATUS_INVALID_PARAMETER;
    const BOOLEAN dataIn = (request.RequestType & kRequestTypeDeviceToHost) != 0;

    PMDL mdl = nullptr;
    if (request.Buffer != 0 && request.Length != 0) {
        const NTSTATUS locked = LockApplicationBuffer(request, &mdl);
        if (!NT_SUCCESS(locked))
            return locked;
    }
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    const auto urb =
        static_cast<PURB>(AllocateDriverPool(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)));
    if (urb != nullptr) {
        FillVendorUrb(urb, request, dataIn, mdl);
        status = SubmitControlUrbSync(Fdo, urb);
        ExFreePool(urb);
    }
    if (mdl != nullptr) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    return status;
}
