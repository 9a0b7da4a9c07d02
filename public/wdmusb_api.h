// The application library: a device of the driver found, opened and used from C or C++, the same
// source on Windows (link with setupapi) and on the simulator (sim/app), so that a program need
// not write the setup API's enumeration, overlapped I/O with a time-out, and the control codes
// of wdmusb.h once more.
//
//     WdmusbDevice* device;
//     uint32_t error = WdmusbOpen(0, &device);
//     if (error != 0)
//         printf("%s (%s)\n", WdmusbErrorMessage(WdmusbCallOpen, error), WdmusbErrorName(error));
//
// Every call that can fail returns the platform's error code (winerror.h; 0 is ERROR_SUCCESS),
// as the platform gives it for what the driver or the system answered, and the library's own
// only where this header names them. WdmusbErrorMessage says what an error means for the call
// that returned it.
//
// Threads: one thread at a time uses a device; WdmusbCancel may come from any thread. Different
// devices are independent. Nothing here needs the platform's headers: the header is C, and its
// types are those of <stdint.h>.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A timeout that never expires: the request waits until it ends (or WdmusbCancel).
#define WDMUSB_NO_TIMEOUT 0xFFFFFFFFu

// An open device: one handle of the driver's interface, and the library's record of the request
// in flight on it.
typedef struct WdmusbDevice WdmusbDevice;

// The call an error came from, for WdmusbErrorMessage: the same error means different things in
// different calls (ERROR_NO_SYSTEM_RESOURCES at an open is a device held by another handle; in a
// vendor request it is a buffer the system could not lock).
typedef enum WdmusbCall {
    WdmusbCallAny = 0,
    WdmusbCallOpen,
    WdmusbCallRead,
    WdmusbCallWrite,
    WdmusbCallDescriptor,
    WdmusbCallVendor,
    WdmusbCallReset
} WdmusbCall;

// --- Finding and opening --------------------------------------------------------------------

// The device path of the present interface numbered `index` of the driver's class, in the
// platform's order (0, 1, ...), with its terminating zero. ERROR_NO_MORE_ITEMS when there are
// not that many; ERROR_INSUFFICIENT_BUFFER when `size` bytes do not hold it (`path` may then be
// NULL). `required` (may be NULL) gets the bytes the path needs, its zero included.
uint32_t WdmusbGetDevicePath(uint32_t index, char* path, uint32_t size, uint32_t* required);

// Opens the interface numbered `index` (ERROR_FILE_NOT_FOUND when there is none) or the one a
// path names, for reading and writing. The driver serves one handle at a time: a second open
// fails (ERROR_NO_SYSTEM_RESOURCES). An open the driver refused although the system handed out
// a handle (Wine does) fails with ERROR_INVALID_HANDLE: the open asks the driver whether it knows
// the handle before it returns.
uint32_t WdmusbOpen(uint32_t index, WdmusbDevice** device);
uint32_t WdmusbOpenPath(const char* path, WdmusbDevice** device);

// Closes the handle. A request left pending (ERROR_IO_INCOMPLETE below) keeps the library's
// record and buffer for the system to complete into, until a later open or close finds it ended.
// NULL is ignored.
void WdmusbClose(WdmusbDevice* device);

// The path the device was opened by.
const char* WdmusbDevicePath(const WdmusbDevice* device);

// --- Reading and writing -------------------------------------------------------------------

// Reads up to `length` bytes (at most 65536, the driver's limit: more fails with
// ERROR_INVALID_PARAMETER, nothing sent) from the device's first pipe, writes `length` bytes to
// its second. `moved` (may be NULL) gets the bytes moved, also when the call fails part-way
// (ERROR_CRC, a time-out): they are the start of the buffer. The device may move fewer bytes
// than asked.
//
// A request not ended after `timeout_ms` (WDMUSB_NO_TIMEOUT: none) is cancelled (CancelIo) and
// waited for: it then fails with ERROR_SEM_TIMEOUT, with the bytes it moved before the cancel,
// or succeeds if it ended on its own meanwhile. A read waits as long as the device has nothing
// to send. The driver ends a cancelled request at once and takes the next. A driver that keeps a
// cancelled request (one of another kind could) makes the call fail with ERROR_IO_INCOMPLETE two
// seconds later: the request stays pending with the library's own buffer (the caller's is free),
// and the device fails every request with ERROR_BUSY until it ends.
//
// A request that ends with success and no bytes is checked: when the device stopped accepting
// requests meanwhile (it is stopping, or being removed: the request was cut short) or the
// handle is no longer the driver's (the device was restarted), the call fails with the error a
// next request gets (ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE) instead of succeeding.
uint32_t WdmusbRead(WdmusbDevice* device, void* buffer, uint32_t length, uint32_t timeout_ms,
                    uint32_t* moved);
uint32_t WdmusbWrite(WdmusbDevice* device, const void* buffer, uint32_t length, uint32_t timeout_ms,
                     uint32_t* moved);

// Cancels the request in flight on the device, as its time-out would (it then fails with
// ERROR_OPERATION_ABORTED), and every request started after it, which fail at once, until
// WdmusbResume: a program stopping on Ctrl-C cannot miss the request it is about to start. From
// any thread, e.g. a console control handler, but not after WdmusbClose.
void WdmusbCancel(WdmusbDevice* device);
void WdmusbResume(WdmusbDevice* device);

// --- Control codes ---------------------------------------------------------------------------
// The driver serves these in the calling thread, which WdmusbCancel does not interrupt (it
// refuses the next call), and gives up a control transfer the device does not answer after 5
// seconds: the call then fails with ERROR_SEM_TIMEOUT.

// The configuration descriptor with everything under it. `length` gets its wTotalLength; when
// `size` is less (`buffer` may then be NULL), ERROR_INSUFFICIENT_BUFFER and nothing copied.
// ERROR_INVALID_DATA when the driver returns less than a descriptor header.
uint32_t WdmusbGetConfigurationDescriptor(WdmusbDevice* device, void* buffer, uint32_t size,
                                          uint32_t* length);

// A vendor request to the device on its default pipe, with a data stage of `length` bytes from
// the device (In) or to it (Out), none when 0. A stall fails with ERROR_GEN_FAILURE.
uint32_t WdmusbVendorIn(WdmusbDevice* device, uint8_t request, uint16_t value, uint16_t index,
                        void* data, uint16_t length);
uint32_t WdmusbVendorOut(WdmusbDevice* device, uint8_t request, uint16_t value, uint16_t index,
                         const void* data, uint16_t length);

// Re-enables the device's port when the device is connected but its port disabled.
uint32_t WdmusbResetPort(WdmusbDevice* device);

// --- Errors --------------------------------------------------------------------------------

// What the error means for the call, in words: "the device is busy: another read or write is
// in flight". Static text, never NULL (an error the library has no words for is "an error the
// library does not know": show its number).
const char* WdmusbErrorMessage(WdmusbCall call, uint32_t error);

// The error's name, "ERROR_BUSY"; NULL for an error the library does not know.
const char* WdmusbErrorName(uint32_t error);

#ifdef __cplusplus
}
#endif
