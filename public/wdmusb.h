// What the driver shares with the applications that use it: the device interface class, the
// control codes and the VENDOR_REQUEST record.
//
// Include it after the platform's declarations: wdm.h in the driver; windows.h, setupapi.h and
// winioctl.h in a Windows application; sim/app/win32.h in an application on the simulator (or
// platform/platform.h in the simulator's own code). Nothing here depends on which of them it is.
#pragma once

// The device interface class of every device the driver runs. Each device registers one interface
// of this class (no reference string) and enables it while the device exists; applications find
// the device by enumerating the class. {921D5B4C-F136-4364-8A92-B1098E53CA9E}
inline constexpr GUID GUID_DEVINTERFACE_WDMUSB = {
    0x921d5b4c, 0xf136, 0x4364, {0x8a, 0x92, 0xb1, 0x09, 0x8e, 0x53, 0xca, 0x9e}};

// --- Reading and writing -------------------------------------------------------------------------
// One handle at a time owns the device's data pipes (a second open fails, ERROR_NO_SYSTEM_RESOURCES
// on the platform's translation of STATUS_INSUFFICIENT_RESOURCES). A read (write) moves up to
// WDMUSB_MAXIMUM_REQUEST_BYTES from the first (to the second) pipe and returns the bytes the
// device moved; a longer request fails with STATUS_INVALID_PARAMETER, sending nothing. One read or
// write is in flight per device: another that arrives meanwhile fails at once with
// STATUS_DEVICE_BUSY (ERROR_BUSY). After the device was stopped and started again (a rebalance),
// a handle opened before fails its reads and writes with STATUS_INVALID_HANDLE: close it and open
// the device again.
#define WDMUSB_MAXIMUM_REQUEST_BYTES 65536

// --- Control codes (METHOD_BUFFERED, FILE_ANY_ACCESS) --------------------------------------------

// Output: the configuration descriptor, wTotalLength bytes. An output buffer shorter than that gets
// what fits and STATUS_BUFFER_OVERFLOW (ERROR_MORE_DATA, with the bytes returned): read the 9-byte
// header first to learn wTotalLength, then the whole.
#define IOCTL_GET_CONFIGURATION_DESCRIPTOR                                                         \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)

// No buffers. Re-enables the device's port when the device is connected but its port is disabled;
// completes with the status of that.
#define IOCTL_RESET_DEVICE CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Input: a VENDOR_REQUEST; no output (data moves through the record's Buffer). Completes with the
// status of the request on the bus.
#define IOCTL_VENDOR_REQUEST CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_BUFFERED, FILE_ANY_ACCESS)

static_assert(IOCTL_GET_CONFIGURATION_DESCRIPTOR == 0x220000, "function 0");
static_assert(IOCTL_RESET_DEVICE == 0x220004, "function 1");
static_assert(IOCTL_VENDOR_REQUEST == 0x22000C, "function 3");

// A vendor-specific request to the device on its default control pipe (USB 2.0, 9.3), with an
// optional data stage in either direction. 12 bytes, little-endian, in this order.
//   - RequestType: bit 7 is the direction (1: device to host, the data lands in Buffer; 0: host to
//     device, the data is taken from Buffer); the other bits are ignored: the request always goes
//     out as a vendor request to the device.
//   - Request, Value, Index: bRequest, wValue, wIndex.
//   - Length: the data stage's bytes, 0 for none. A device that sends fewer than asked fails the
//     request.
//   - Buffer: the application's address of the data (32 bits; from VirtualAlloc on the
//     simulator), or 0 when Length is 0.
// Refused with STATUS_INVALID_PARAMETER, nothing sent: an input buffer shorter than the record,
// or Buffer 0 with Length not 0. The buffer is locked for reading and writing whichever way the
// data goes: one that is not mapped, read-only, or not an application's address fails with
// STATUS_ACCESS_VIOLATION (ERROR_NOACCESS), nothing sent.
typedef struct _VENDOR_REQUEST {
    UCHAR RequestType;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Length;
    ULONG Buffer;
} VENDOR_REQUEST, *PVENDOR_REQUEST;

static_assert(sizeof(VENDOR_REQUEST) == 12, "the record applications send is 12 bytes");
