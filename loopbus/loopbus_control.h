// The test controls of loopbus.sys, the USB bus driver our Wine run puts below wdmusb.sys: what a
// test program sends to the bus's control device to unplug the loopback device, plug it in
// again, make the next transfer misbehave, and read what the bus saw.
//
// Include it after the platform's declarations (wdm.h in the bus driver, windows.h and winioctl.h
// in a Win32 program). The control device is \Device\WdmusbLoopBus; user mode opens it as
// \\.\WdmusbLoopBus. Every code is METHOD_BUFFERED; a record of the wrong size is refused with
// STATUS_INVALID_PARAMETER.
#pragma once

#define LOOPBUS_CONTROL_DEVICE_NAME L"\\Device\\WdmusbLoopBus"
#define LOOPBUS_CONTROL_LINK_NAME   L"\\DosDevices\\WdmusbLoopBus"
#define LOOPBUS_CONTROL_USER_PATH   L"\\\\.\\WdmusbLoopBus"

// No input or output. Unplug: the device leaves the bus (its port reads disconnected, new
// requests fail with STATUS_DEVICE_NOT_CONNECTED) and the bus reports it gone, so the Plug and
// Play manager surprise-removes and removes its stack. Plug: a device leaves no PDO behind it, so
// a new one is created and reported. Both return once the report has been asked for.
#define IOCTL_LOOPBUS_UNPLUG CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_LOOPBUS_PLUG   CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Input: LOOPBUS_FAULT. Arms a fault for the next bulk transfer in one direction (replacing one
// armed earlier); LoopbusFaultNone disarms.
#define IOCTL_LOOPBUS_SET_FAULT                                                                    \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)
// No input or output. The device's port becomes disabled while the device stays connected (as
// after a port error): its requests fail with USBD_STATUS_DEV_NOT_RESPONDING until a port reset.
#define IOCTL_LOOPBUS_DISABLE_PORT                                                                 \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Output: LOOPBUS_COUNTS, the counts since the bus started.
#define IOCTL_LOOPBUS_GET_COUNTS                                                                   \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS)

enum LOOPBUS_FAULT_KIND {
    LoopbusFaultNone = 0,
    // The transfer fails: IRP STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, nothing moved.
    LoopbusFaultFail = 1,
    // The device moves at most Bytes of the transfer (an IN without USBD_SHORT_TRANSFER_OK then
    // ends with USBD_STATUS_ERROR_SHORT_TRANSFER, as on a real bus).
    LoopbusFaultShort = 2,
    // The byte at Bytes (or the last one moved, if fewer) of an IN transfer is inverted.
    LoopbusFaultCorrupt = 3,
};

typedef struct _LOOPBUS_FAULT {
    ULONG Kind;  // LOOPBUS_FAULT_KIND
    ULONG In;    // nonzero: the next IN transfer; zero: the next OUT transfer
    ULONG Bytes; // Short: bytes moved; Corrupt: offset of the inverted byte
} LOOPBUS_FAULT;

// What the bus saw. Requests are counted when they reach the bus, whatever their outcome.
typedef struct _LOOPBUS_COUNTS {
    // The device's state.
    ULONG DevicePresent; // on the bus (plugged and not unplugged)
    ULONG PdoExists;     // a PDO for it exists
    ULONG Configured;    // bConfigurationValue selected, 0 when unconfigured
    ULONG QueuedBytes;   // loopback bytes waiting for an IN transfer
    // Plug and Play and power requests to the device's PDO.
    ULONG Starts;
    ULONG Stops;
    ULONG SurpriseRemovals;
    ULONG Removals;
    ULONG PowerRequests;
    // USB requests.
    ULONG DeviceDescriptorReads;
    ULONG ConfigurationDescriptorReads;
    ULONG SelectConfigurations; // with a configuration descriptor
    ULONG Unconfigures;         // select-configuration without one
    ULONG BulkInTransfers;
    ULONG BulkOutTransfers;
    ULONG BulkInBytes; // moved by completed transfers
    ULONG BulkOutBytes;
    ULONG MdlTransfers; // bulk transfers whose buffer was an MDL
    ULONG VendorRequests;
    ULONG AbortPipes;
    ULONG ResetPipes;
    ULONG PortStatusQueries;
    ULONG PortResets;
    ULONG CancelledTransfers; // completed by cancellation, an abort or removal
    ULONG FaultsApplied;
    ULONG RefusedRequests; // malformed URBs, bad pipe handles, unknown functions
} LOOPBUS_COUNTS;
