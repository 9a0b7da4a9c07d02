// The per-device record and its gate.
//
// The platform allocates DEVICE_EXTENSION with the FDO, zero-filled, and frees it when the FDO is
// deleted. Every routine reaches it through the FDO; the driver has no global state.
//
// Locking: IoCountLock guards OutstandingIoCount and nothing else; ChunkLock guards the tracking
// of the chunks in flight, ConfigurationLock the replacement of what a start keeps for the client
// requests (see their fields at the end). The Plug and Play flags are single bytes written by the
// Plug and Play and power paths and read everywhere without a lock: always through
// ReadShared/WriteShared.
#pragma once

#include "platform/platform.h"
#include "driver/shared_flag.h"

// One record per chunk of the transfer in flight, and one more, all zero, ending the array.
// Moved and Broken are written once, by the chunk's completion, and read by whatever finishes
// the transfer (io/chunk_completion.cpp).
typedef struct _CHUNK_CONTEXT {
    PURB Urb;                    // the chunk's bulk-transfer URB
    PDEVICE_OBJECT DeviceObject; // the FDO; NULL only in the record that ends the array
    PIRP Irp;                    // the chunk's IRP; NULL once the chunk has completed
    ULONG Moved;                 // bytes the chunk moved, at most its window
    BOOLEAN Broken; // it failed, ended short or was cancelled: no later chunk's bytes count
} CHUNK_CONTEXT, *PCHUNK_CONTEXT;

typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT LowerDeviceObject;    // below the FDO: target of every forwarded request
    PDEVICE_OBJECT PhysicalDeviceObject; // the bus driver's PDO
    DEVICE_POWER_STATE CurrentDevicePowerState;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    // 521 bytes or wTotalLength if larger; a counted block (usb/kept_configuration.h)
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor; // 18 bytes
    // Copy of the selected interface with its pipes, a counted block (usb/kept_configuration.h);
    // a pipe's PipeFlags is 1 while an open handle holds the pipe, 0 when free.
    PUSBD_INTERFACE_INFORMATION InterfaceInformation;
    DEVICE_CAPABILITIES DeviceCapabilities;
    PIRP PendingSystemPowerIrp;
    PIRP PendingTransferIrp;  // the read or write whose chunks are in flight
    LONG PendingChunkCount;   // chunks of PendingTransferIrp not yet completed
    ULONG TransferredBytes;   // the count the last finished transfer reported
    KEVENT RemoveEvent;       // set when OutstandingIoCount reaches 0
    KEVENT TransferDoneEvent; // set when a transfer has been finished by its chunks
    KEVENT NoPendingIoEvent;  // set whenever a release leaves OutstandingIoCount at 1
    KEVENT PowerUpDoneEvent;  // set when a waited ask of the idle policy has been carried out
    KSPIN_LOCK IoCountLock;   // guards OutstandingIoCount
    LONG OutstandingIoCount;
    LONG OpenPipeCount; // pipe records marked as bound by open handles
    PCHUNK_CONTEXT ChunkContexts;
    WCHAR InterfaceLinkName[256]; // the registered interface's symbolic link, zero-terminated
    BOOLEAN Removed;
    BOOLEAN RemovePending;
    BOOLEAN StopPending;
    BOOLEAN Started;
    BOOLEAN WaitWakeArmed;
    DEVICE_POWER_STATE IdleDevicePowerState;
    ULONG MaximumTransferSize; // chunk size of transfers, and the pipes' maximum transfer size

    // Chunk tracking (io/chunk_tracking.h): how the cancelling walk over ChunkContexts and the
    // chunk completions are held apart. ChunkLock guards the Irp and DeviceObject fields of the
    // records of ChunkContexts, ChunkContexts itself, ChunkWalkers and the two deferred items.
    KSPIN_LOCK ChunkLock;
    LONG ChunkWalkers;                 // walks over ChunkContexts in progress
    BOOLEAN ChunksCancelled;           // a walk began over ChunkContexts: no more chunk goes
    LIST_ENTRY DeferredChunkIrps;      // finished chunk IRPs the last walker frees
    PCHUNK_CONTEXT DeferredChunkArray; // finished arrays the last walker frees

    // Guards the replacement of ConfigurationDescriptor and InterfaceInformation against a client
    // request taking an ownership of the block it points to (usb/kept_configuration.h).
    KSPIN_LOCK ConfigurationLock;

    // The idle policy's work (power/idle_policy.cpp): whether a policy run or its power request is
    // under way, and the decisions asked of it meanwhile. Changed only by interlocked operations.
    LONG SelfPowerRequestPending;
    // Taken in turn by the callers that wait for a power-up (a synchronization event, signalled
    // while free), so that only one of them resets and waits on PowerUpDoneEvent at a time.
    KEVENT PowerUpWaitLock;

    // The request of the transfer in flight can be cancelled (io/transfer_request.h): its cancel
    // routine and the end of its chunks may each still use the transfer when the other is done,
    // so each counts itself here once it is, and the second one completes the request.
    LONG TransferEndsSeen;
    // A pipe left halted by a chunk that ended with a halting status, per direction (0: read,
    // 1: write), for the next transfer on that pipe to reset first; NULL when none.
    USBD_PIPE_HANDLE HaltedPipes[2];
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

static_assert(sizeof(((DEVICE_EXTENSION*)nullptr)->InterfaceLinkName) == 512,
              "the interface link name field holds 256 UTF-16 code units");

// Chunk size of every transfer, and the maximum transfer size of every pipe.
constexpr ULONG WDMUSB_MAXIMUM_TRANSFER_SIZE = 4096;

inline PDEVICE_EXTENSION GetExtension(PDEVICE_OBJECT Fdo) {
    return static_cast<PDEVICE_EXTENSION>(Fdo->DeviceExtension);
}

// TRUE exactly when the device is started and no stop or removal is pending or done: the gate
// that create, read, write, device control and the idle policy test.
BOOLEAN IsAcceptingRequests(PDEVICE_OBJECT Fdo);
