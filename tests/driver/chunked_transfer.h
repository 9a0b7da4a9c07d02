// A read built the way the driver's reads and writes will build theirs, for tests of cancellation
// and removal with chunks in flight until those paths exist: one application request, cut into
// chunks that each have an IRP, an MDL over a window of the buffer and a bulk-transfer URB, all
// sent before any is waited for and tracked through io/chunk_tracking.h; and a chunk completion
// that does what the driver's will do (bytes added, record finished, count decremented, the last
// one completing the request, freeing the array and setting TransferDoneEvent, the reference
// given back last).
//
// Usage:
//     ChunkedTransfer read(fdo, {.chunks = 4});
//     ASSERT_EQ(read.start(), STATUS_PENDING);   // the request goes to the FDO's read slot
//     ... cancel, remove ...
//     ASSERT_TRUE(read.waitDone());
//     read.waitChunksFinished();                 // every completion has given back its reference
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "driver/extension.h"
#include "driver/io_reference.h"
#include "driver/pool.h"
#include "io/chunk_tracking.h"
#include "sim/core/system.h"
#include "sim/io/io_manager.h"

namespace wdmusb::test {

class ChunkedTransfer {
public:
    struct Options {
        ULONG chunks = 4;
        ULONG pipeIndex = 0; // of InterfaceInformation: 0 reads from the IN pipe
        // Each completion takes the chunk IRP back at once and does the rest on a thread of its
        // own after finishDelay, so that whoever cancelled the chunk has to wait for the end.
        bool finishLater = false;
        std::chrono::milliseconds finishDelay{20};
        // Runs in the completion that ended the transfer, just before it gives back its reference.
        std::function<void()> beforeLastRelease;
    };

    static constexpr ULONG kChunkBytes = WDMUSB_MAXIMUM_TRANSFER_SIZE;
    static constexpr ULONG kBufferTag = 0x74736554; // "Test": not the driver's

    ChunkedTransfer(PDEVICE_OBJECT fdo, Options options)
        : fdo_(fdo), driver_(fdo->DriverObject), options_(std::move(options)) {
        active_ = this;
        readSlot_ = driver_->MajorFunction[IRP_MJ_READ];
        driver_->MajorFunction[IRP_MJ_READ] = &ChunkedTransfer::dispatchRead;
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        buffer_ =
            static_cast<std::uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, bytes(), kBufferTag));
    }

    ~ChunkedTransfer() {
        waitChunksFinished();
        joinFinishers();
        driver_->MajorFunction[IRP_MJ_READ] = readSlot_;
        ExFreePool(buffer_);
        active_ = nullptr;
    }

    ChunkedTransfer(const ChunkedTransfer&) = delete;
    ChunkedTransfer& operator=(const ChunkedTransfer&) = delete;

    ULONG bytes() const { return options_.chunks * kChunkBytes; }
    const std::uint8_t* buffer() const { return buffer_; }

    // Sends the request to the FDO as the application's read; returns the dispatch's status.
    NTSTATUS start() {
        sim::IoManager& io = sim::current().io();
        request_ =
            io.allocateIrp(fdo_->StackSize, sim::IrpOrigin::Application, SimCallSite::current());
        io.setTopCompletion(request_, [this](PIRP finished) {
            result_ = finished->IoStatus;
            KeSetEvent(&done_, IO_NO_INCREMENT, FALSE);
        });
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request_);
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Read.Length = bytes();
        return IoCallDriver(fdo_, request_);
    }

    // True once the request has been completed to the application.
    bool done() { return KeReadStateEvent(&done_) != 0; }
    bool waitDone(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    IO_STATUS_BLOCK result() const { return result_; }

    // Waits until every chunk sent (or `count` of them) has run its completion to the end, its
    // reference given back.
    void waitChunksFinished(std::optional<std::size_t> count = std::nullopt) {
        std::unique_lock lock(mutex_);
        finishedChanged_.wait_for(lock, std::chrono::seconds(10),
                                  [&] { return finished_ == count.value_or(sent_); });
        EXPECT_EQ(finished_, count.value_or(sent_)) << "chunks still running";
    }
    std::size_t chunksSent() {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    // The count left by the reference the transfer's last completion gave back (0: that
    // completion was the last reference of the device and set RemoveEvent).
    LONG lastRelease() const { return lastRelease_.load(); }
    // Statuses the chunk IRPs ended with, in completion order.
    std::vector<NTSTATUS> chunkStatuses() {
        std::lock_guard lock(mutex_);
        return chunkStatuses_;
    }

private:
    static NTSTATUS NTAPI dispatchRead(PDEVICE_OBJECT fdo, PIRP irp) {
        return active_->send(fdo, irp);
    }

    // What TransferData does: every chunk goes down before any is waited for.
    NTSTATUS send(PDEVICE_OBJECT fdo, PIRP irp) {
        const PDEVICE_EXTENSION ext = GetExtension(fdo);
        const PUSBD_PIPE_INFORMATION pipe = &ext->InterfaceInformation->Pipes[options_.pipeIndex];
        const bool isRead = USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress) != 0;
        const std::size_t arrayBytes = (options_.chunks + 1) * sizeof(CHUNK_CONTEXT);
        array_ = static_cast<PCHUNK_CONTEXT>(AllocateDriverPool(arrayBytes));
        std::memset(array_, 0, arrayBytes);
        std::atomic_ref<ULONG>(ext->TransferredBytes).store(0);
        ext->PendingTransferIrp = irp;
        InterlockedExchange(&ext->PendingChunkCount, static_cast<LONG>(options_.chunks));
        PublishChunkArray(fdo, array_);

        for (ULONG i = 0; i < options_.chunks; ++i) {
            const PIRP chunk = IoAllocateIrp(ext->LowerDeviceObject->StackSize + 1, FALSE);
            IoAllocateMdl(buffer_ + i * kChunkBytes, kChunkBytes, FALSE, FALSE, chunk);
            const auto urb = static_cast<PURB>(
                AllocateDriverPool(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
            std::memset(urb, 0, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
            auto& bulk = urb->UrbBulkOrInterruptTransfer;
            bulk.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
            bulk.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
            bulk.PipeHandle = pipe->PipeHandle;
            bulk.TransferFlags = USBD_SHORT_TRANSFER_OK | (isRead ? USBD_TRANSFER_DIRECTION_IN : 0);
            bulk.TransferBufferLength = kChunkBytes;
            bulk.TransferBufferMDL = chunk->MdlAddress;
            TrackChunk(fdo, &array_[i], urb, chunk);

            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(chunk);
            next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
            next->Parameters.Others.Argument1 = urb;
            IoSetCompletionRoutine(chunk, &ChunkedTransfer::chunkCompletion, &array_[i], TRUE, TRUE,
                                   TRUE);
            if (i == 0)
                IoMarkIrpPending(irp);
            {
                std::lock_guard lock(mutex_);
                ++sent_;
            }
            AcquireIoReference(fdo);
            IoCallDriver(ext->LowerDeviceObject, chunk);
        }
        return STATUS_PENDING;
    }

    static NTSTATUS NTAPI chunkCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        ChunkedTransfer& self = *active_;
        const auto record = static_cast<PCHUNK_CONTEXT>(context);
        {
            std::lock_guard lock(self.mutex_);
            self.chunkStatuses_.push_back(irp->IoStatus.Status);
        }
        if (!self.options_.finishLater) {
            self.finishChunk(record);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        std::lock_guard lock(self.mutex_);
        self.finishers_.emplace_back([&self, record] {
            std::this_thread::sleep_for(self.options_.finishDelay);
            self.finishChunk(record);
        });
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    // ChunkCompletion from step 1 on: the chunk IRP is the driver's again.
    void finishChunk(PCHUNK_CONTEXT record) {
        const PURB urb = record->Urb;
        const PDEVICE_OBJECT fdo = record->DeviceObject;
        const PDEVICE_EXTENSION ext = GetExtension(fdo);
        std::atomic_ref<ULONG>(ext->TransferredBytes)
            .fetch_add(urb->UrbBulkOrInterruptTransfer.TransferBufferLength);
        FinishChunk(fdo, record);
        const bool last = InterlockedDecrement(&ext->PendingChunkCount) == 0;
        if (last)
            finishTransfer(fdo);
        ExFreePool(urb);
        if (last && options_.beforeLastRelease)
            options_.beforeLastRelease();
        const LONG left = ReleaseIoReference(fdo);
        if (last)
            lastRelease_.store(left);
        std::lock_guard lock(mutex_);
        ++finished_;
        finishedChanged_.notify_all();
    }

    void finishTransfer(PDEVICE_OBJECT fdo) {
        const PDEVICE_EXTENSION ext = GetExtension(fdo);
        const PIRP request = ext->PendingTransferIrp;
        ext->PendingTransferIrp = nullptr;
        request->IoStatus.Status = STATUS_SUCCESS;
        request->IoStatus.Information = std::atomic_ref<ULONG>(ext->TransferredBytes).load();
        IoCompleteRequest(request, IO_NO_INCREMENT);
        FinishChunkArray(fdo, array_);
        KeSetEvent(&ext->TransferDoneEvent, EVENT_INCREMENT, FALSE);
    }

    void joinFinishers() {
        std::vector<std::thread> finishers;
        {
            std::lock_guard lock(mutex_);
            finishers.swap(finishers_);
        }
        for (auto& t : finishers)
            t.join();
    }

    static inline ChunkedTransfer* active_ = nullptr;

    PDEVICE_OBJECT fdo_;
    PDRIVER_OBJECT driver_;
    Options options_;
    PDRIVER_DISPATCH readSlot_ = nullptr;
    std::uint8_t* buffer_ = nullptr;
    PIRP request_ = nullptr;
    PCHUNK_CONTEXT array_ = nullptr;
    KEVENT done_;
    IO_STATUS_BLOCK result_{};
    std::atomic<LONG> lastRelease_{-1};

    std::mutex mutex_; // guards everything below
    std::condition_variable finishedChanged_;
    std::size_t sent_ = 0;
    std::size_t finished_ = 0;
    std::vector<NTSTATUS> chunkStatuses_;
    std::vector<std::thread> finishers_;
};

} // namespace wdmusb::test
