// TransferData and the chunks it sends.
#include "io/transfer.h"
#include "driver/io_reference.h"
#include "driver/forward.h"
#include "driver/pool.h"
#include "io/chunk_tracking.h"
#include "io/transfer_request.h"
#include "public/wdmusb.h"
#include "usb/kept_configuration.h"
#include "usb/recovery.h"

static_assert(sizeof(void*) != 4 || sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72,
              "the bulk-transfer request has the platform's i386 length");

namespace {

// What the loop of TransferData ended with.
struct ChunksSent {
    NTSTATUS Status;
    ULONG Count;
    BOOLEAN Armed; // the request is pending and cancellable: it ends by EndTransferRequest
};

// The handle's pipe for the direction, if the handle is bound to the configuration now selected:
// a handle opened before a stop holds pipe handles the bus no longer knows.
PUSBD_PIPE_INFORMATION HandlePipe(PDEVICE_OBJECT Fdo, PIRP Irp, BOOLEAN IsRead) {
    const PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (file == nullptr)
        return nullptr;
    const ULONG index = IsRead ? 0 : 1;
    const auto pipe =
        static_cast<PUSBD_PIPE_INFORMATION>(IsRead ? file->FsContext : file->FsContext2);
    if (pipe == nullptr || !IsCurrentInterfaceCopy(Fdo, InterfaceCopyOfPipe(pipe, index)))
        return nullptr;
    return pipe;
}

BOOLEAN ClaimTransfer(PDEVICE_EXTENSION Ext, PIRP Irp) {
    return InterlockedCompareExchangePointer(
               reinterpret_cast<PVOID volatile*>(&Ext->PendingTransferIrp), Irp, nullptr) ==
           nullptr;
}

void GiveBackTransfer(PDEVICE_EXTENSION Ext) {
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Ext->PendingTransferIrp),
                               nullptr);
}

// One record per chunk and the all-zero one that ends the array.
PCHUNK_CONTEXT AllocateChunkArray(ULONG Chunks) {
    const SIZE_T bytes = (Chunks + 1) * sizeof(CHUNK_CONTEXT);
    const auto array = static_cast<PCHUNK_CONTEXT>(AllocateDriverPool(bytes));
    if (array != nullptr)
        RtlZeroMemory(array, bytes);
    return array;
}

// A chunk IRP whose MDL is the window [Offset, +Size) of the request's buffer, with its URB; NULL
// (nothing left allocated) when any of them cannot be had.
PIRP BuildChunkIrp(PDEVICE_OBJECT Fdo, PMDL RequestMdl, ULONG Offset, ULONG Size,
                   PUSBD_PIPE_INFORMATION Pipe, BOOLEAN IsRead, PURB* Urb) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    const PIRP chunk = IoAllocateIrp(ext->LowerDeviceObject->StackSize + 1, FALSE);
    if (chunk == nullptr)
        return nullptr;
    // Allocated for the whole request, so that any window of it fits.
    const auto buffer = static_cast<PUCHAR>(MmGetMdlVirtualAddress(RequestMdl));
    if (IoAllocateMdl(buffer, MmGetMdlByteCount(RequestMdl), FALSE, FALSE, chunk) == nullptr) {
        IoFreeIrp(chunk);
        return nullptr;
    }
    IoBuildPartialMdl(RequestMdl, chunk->MdlAddress, buffer + Offset, Size);
    *Urb = BuildBulkTransferUrb(Fdo, chunk, Pipe, IsRead);
    if (*Urb == nullptr) {
        IoFreeMdl(chunk->MdlAddress);
        IoFreeIrp(chunk);
        return nullptr;
    }
    return chunk;
}

void FreeUnsentChunk(PIRP Chunk, PURB Urb) {
    ExFreePool(Urb);
    IoFreeMdl(Chunk->MdlAddress);
    IoFreeIrp(Chunk);
}

// Hands a built and tracked chunk to the bus driver. The driver takes no stack location of its
// own in it.
NTSTATUS SendChunk(PDEVICE_OBJECT Fdo, PIRP Chunk, PURB Urb, PCHUNK_CONTEXT Record) {
    const PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Chunk);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(Chunk, ChunkCompletion, Record, TRUE, TRUE, TRUE);
    AcquireIoReference(Fdo); // given back by the chunk's completion
    return IoCallDriver(GetExtension(Fdo)->LowerDeviceObject, Chunk);
}

// The status of a transfer whose first chunk found a walk begun over its array: the request's own
// cancel, or a stop or removal that closed the gate after the request passed it.
NTSTATUS FirstChunkRefused(PIRP Irp) {
    return ReadShared(Irp->Cancel) ? STATUS_CANCELLED : STATUS_DELETE_PENDING;
}

// Sends the chunks in order until all are sent, one cannot be built, one fails to go down, the
// device stops accepting requests or the request is cancelled. The request becomes pending and
// cancellable just before its first chunk goes; once that chunk is sent it is not touched here
// (RequestMdl is the I/O manager's, alive until the request completes, which cannot happen while
// unsent chunks are still counted).
ChunksSent SendChunks(PDEVICE_OBJECT Fdo, PIRP Irp, PUSBD_PIPE_INFORMATION Pipe, BOOLEAN IsRead,
                      PCHUNK_CONTEXT Array) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    const PMDL requestMdl = Irp->MdlAddress;
    const ULONG length = MmGetMdlByteCount(requestMdl);
    ChunksSent sent = {STATUS_SUCCESS, 0, FALSE};
    for (ULONG offset = 0; offset < length; ++Array) {
        if (!IsAcceptingRequests(Fdo)) {
            sent.Status = STATUS_DELETE_PENDING;
            break;
        }
        const ULONG size =
            length - offset < ext->MaximumTransferSize ? length - offset : ext->MaximumTransferSize;
        PURB urb = nullptr;
        const PIRP chunk = BuildChunkIrp(Fdo, requestMdl, offset, size, Pipe, IsRead, &urb);
        if (chunk == nullptr) {
            sent.Status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        offset += size;
        if (!sent.Armed) {
            sent.Armed = TRUE;
            if (!ArmTransferCancel(Fdo, Irp)) {
                FreeUnsentChunk(chunk, urb);
                sent.Status = STATUS_CANCELLED;
                break;
            }
        }
        // Once the transfer's chunks are being cancelled (a stop, a removal, the request's
        // cancel, or a chunk that broke: failed, ended short or was cancelled), no later chunk
        // goes: the bytes counted stay the start of the buffer. The transfer ends as one cut short
        // does.
        if (!TrackChunk(Fdo, Array, urb, chunk)) {
            FreeUnsentChunk(chunk, urb);
            if (sent.Count == 0)
                sent.Status = FirstChunkRefused(Irp);
            break;
        }
        ++sent.Count;
        sent.Status = SendChunk(Fdo, chunk, urb, Array);
        if (!NT_SUCCESS(sent.Status))
            break;
    }
    return sent;
}

USBD_PIPE_HANDLE& HaltedPipe(PDEVICE_EXTENSION Ext, BOOLEAN IsRead) {
    return Ext->HaltedPipes[IsRead ? 0 : 1];
}

// Resets the pipe and, if even that fails, the port if it was disabled. Whatever halted the pipe
// before is then cleared; a chunk that halts it afterwards notes it again.
void RecoverPipe(PDEVICE_OBJECT Fdo, PUSBD_PIPE_INFORMATION Pipe, BOOLEAN IsRead) {
    WriteShared(HaltedPipe(GetExtension(Fdo), IsRead), nullptr);
    if (!NT_SUCCESS(ResetPipe(Fdo, Pipe)))
        ResetDeviceIfPortDisabled(Fdo);
}

// A chunk of an earlier transfer left this pipe halted: the bus would fail every chunk sent on
// it. A pipe handle of an earlier configuration is forgotten: the new one starts running.
void RecoverHaltedPipe(PDEVICE_OBJECT Fdo, PUSBD_PIPE_INFORMATION Pipe, BOOLEAN IsRead) {
    USBD_PIPE_HANDLE& halted = HaltedPipe(GetExtension(Fdo), IsRead);
    if (ReadShared(halted) == nullptr)
        return;
    if (ReadShared(halted) == Pipe->PipeHandle && IsAcceptingRequests(Fdo))
        RecoverPipe(Fdo, Pipe, IsRead);
    else
        WriteShared(halted, nullptr);
}

} // namespace

NTSTATUS TransferData(PDEVICE_OBJECT Fdo, PIRP Irp, BOOLEAN IsRead) {
    const PDEVICE_EXTENSION ext = GetExtension(Fdo);
    Irp->IoStatus.Information = 0;
    if (!IsAcceptingRequests(Fdo))
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    const PUSBD_PIPE_INFORMATION pipe = HandlePipe(Fdo, Irp, IsRead);
    if (pipe == nullptr)
        return CompleteRequest(Irp, STATUS_INVALID_HANDLE);
    const ULONG length = Irp->MdlAddress != nullptr ? MmGetMdlByteCount(Irp->MdlAddress) : 0;
    if (length == 0)
        return CompleteRequest(Irp, STATUS_SUCCESS);
    if (length > WDMUSB_MAXIMUM_REQUEST_BYTES)
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    const ULONG chunks = (length + ext->MaximumTransferSize - 1) / ext->MaximumTransferSize;

    if (!ClaimTransfer(ext, Irp))
        return CompleteRequest(Irp, STATUS_DEVICE_BUSY); // the transfer in flight stays as it is
    RecoverHaltedPipe(Fdo, pipe, IsRead);
    const PCHUNK_CONTEXT array = AllocateChunkArray(chunks);
    if (array == nullptr) {
        GiveBackTransfer(ext);
        return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    WriteShared(ext->TransferredBytes, 0);
    InterlockedExchange(&ext->PendingChunkCount, static_cast<LONG>(chunks));
    PublishChunkArray(Fdo, array);

    const ChunksSent sent = SendChunks(Fdo, Irp, pipe, IsRead, array);
    // A cancel halts nothing.
    if (!NT_SUCCESS(sent.Status) && sent.Status != STATUS_CANCELLED && IsAcceptingRequests(Fdo))
        RecoverPipe(Fdo, pipe, IsRead);
    if (sent.Count == 0) {
        FinishChunkArray(Fdo, array);
        InterlockedExchange(&ext->PendingChunkCount, 0);
        if (sent.Armed) {
            EndTransferRequest(Fdo, Irp, sent.Status, 0);
            return STATUS_PENDING; // marked so when it became cancellable
        }
        GiveBackTransfer(ext);
        return CompleteRequest(Irp, sent.Status);
    }
    // The unsent chunks come off the count in one step; if the sent ones have all completed by
    // then, no completion is left to finish the transfer.
    const LONG unsent = static_cast<LONG>(chunks - sent.Count);
    if (unsent > 0 && InterlockedExchangeAdd(&ext->PendingChunkCount, -unsent) == unsent)
        FinishTransfer(Fdo);
    return STATUS_PENDING;
}

PURB BuildBulkTransferUrb(PDEVICE_OBJECT Fdo, PIRP ChunkIrp, PUSBD_PIPE_INFORMATION Pipe,
                          BOOLEAN IsRead) {
    UNREFERENCED_PARAMETER(Fdo);
    const ULONG length = MmGetMdlByteCount(ChunkIrp->MdlAddress);
    const auto urb =
        static_cast<PURB>(AllocateDriverPool(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
    if (urb == nullptr)
        return nullptr;
    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& bulk = urb->UrbBulkOrInterruptTransfer;
    bulk.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bulk.PipeHandle = Pipe->PipeHandle;
    bulk.TransferFlags = USBD_SHORT_TRANSFER_OK | (IsRead ? USBD_TRANSFER_DIRECTION_IN : 0);
    bulk.TransferBufferLength = length;
    bulk.TransferBuffer = nullptr;
    bulk.TransferBufferMDL = ChunkIrp->MdlAddress;
    bulk.UrbLink = nullptr;
    return urb;
}

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT Fdo, PIRP Irp) {
    return TransferData(Fdo, Irp, TRUE);
}

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT Fdo, PIRP Irp) {
    return TransferData(Fdo, Irp, FALSE);
}
