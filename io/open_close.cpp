// Open and close: a handle owns the device's first two pipes while it is open.
//
// The handle's file object points at its pipe records (FsContext: the read pipe, FsContext2: the
// write pipe) inside an interface copy it owns (usb/kept_configuration.h): the copy stays
// allocated until the close lets it go, across a restart that replaces it and after a removal
// that releases the extension's, so the close never follows its contexts into freed memory.
// Binding and unbinding change each pipe's marker by an interlocked exchange (usb/pipe_marker.h),
// so that no two opens bind the same pipe and no marker is counted off twice, also against
// AbortOpenPipes.
#include "driver/counted_block.h"
#include "driver/forward.h"
#include "driver/io_reference.h"
#include "io/client_dispatch.h"
#include "power/idle_policy.h"
#include "usb/kept_configuration.h"
#include "usb/pipe_marker.h"

namespace {

constexpr ULONG kReadPipe = 0;
constexpr ULONG kWritePipe = 1;

// Binds the current interface's first two pipes to File; the handle keeps an ownership of that
// copy until its close.
NTSTATUS BindPipes(PDEVICE_OBJECT Fdo, PFILE_OBJECT File) {
    const PUSBD_INTERFACE_INFORMATION copy = BorrowInterfaceCopy(Fdo);
    if (copy == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    // The one-handle rule rests on the read pipe's marker alone.
    if (copy->NumberOfPipes < 2 || !TryBindPipe(&copy->Pipes[kReadPipe])) {
        ReleaseCountedBlock(copy);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    LONG bound = 1;
    if (TryBindPipe(&copy->Pipes[kWritePipe]))
        ++bound;
    InterlockedExchangeAdd(&GetExtension(Fdo)->OpenPipeCount, bound);
    File->FsContext = &copy->Pipes[kReadPipe];
    File->FsContext2 = &copy->Pipes[kWritePipe];
    return STATUS_SUCCESS;
}

// Counts off the handle's pipes still marked (AbortOpenPipes may have done so already) and lets
// the handle's interface copy go. A file object whose open failed holds nothing.
//
// The write pipe is freed first: the read pipe's marker is what admits the next open, and an open
// that gets in as soon as it is free must find the write pipe free as well, or it would hold a
// write pipe it never marked (counted once, and left out of a removal's aborts).
void UnbindPipes(PDEVICE_OBJECT Fdo, PFILE_OBJECT File) {
    const auto read = static_cast<PUSBD_PIPE_INFORMATION>(File->FsContext);
    const auto write = static_cast<PUSBD_PIPE_INFORMATION>(File->FsContext2);
    if (read == nullptr)
        return;
    const PUSBD_PIPE_INFORMATION pipes[] = {write, read};
    for (const PUSBD_PIPE_INFORMATION pipe : pipes)
        if (pipe != nullptr && TryUnbindPipe(pipe))
            InterlockedDecrement(&GetExtension(Fdo)->OpenPipeCount);
    File->FsContext = nullptr;
    File->FsContext2 = nullptr;
    ReleaseCountedBlock(InterfaceCopyOfPipe(read, kReadPipe));
}

} // namespace

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT Fdo, PIRP Irp) {
    ScopedIoReference reference(Fdo);
    Irp->IoStatus.Information = 0;
    if (!IsAcceptingRequests(Fdo))
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    const PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    file->FsContext = nullptr;
    file->FsContext2 = nullptr;
    const NTSTATUS status = BindPipes(Fdo, file);
    if (NT_SUCCESS(status))
        UpdateIdlePowerState(Fdo, FALSE); // the device stays idle if this fails; the open stands
    return CompleteRequest(Irp, status);
}

// The reference is held until the idle policy has run: the policy reads the extension and may ask
// for a power IRP, which a removal running meanwhile must wait for.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT Fdo, PIRP Irp) {
    ScopedIoReference reference(Fdo);
    UnbindPipes(Fdo, IoGetCurrentIrpStackLocation(Irp)->FileObject);
    Irp->IoStatus.Information = 0;
    CompleteRequest(Irp, STATUS_SUCCESS);
    UpdateIdlePowerState(Fdo, TRUE); // after the completion: the application does not wait for it
    return STATUS_SUCCESS;
}
