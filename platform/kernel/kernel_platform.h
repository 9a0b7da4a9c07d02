// Kernel build: the platform's own headers (mingw-w64's WDM headers and the USB driver interface),
// plus a small shim where they spell a routine differently from what driver code is written
// against, or lack something driver code may use.
//
// The compiler flags of the image (cmake/kernel-image.cmake) select Windows 2000 as the target
// (_WIN32_WINNT 0x0500) and put the ddk folder on the include path.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <wdm.h>
#include <usb.h>
#include <usbioctl.h>

// usbdlib.h has no extern "C" of its own: without it the library routines would be imported under
// C++ names that USBD.SYS does not export.
extern "C" {
#include <usbdlib.h>
}

#if !defined(_X86_)
#error "The kernel image is built for 32-bit x86 only"
#endif

// --- Unused parameters --------------------------------------------------------------------------
// mingw-w64 spells this as a braced self-assignment, which fails on a const parameter or local and
// breaks an if/else around it. The cast to void is what the host build (and GCC) expect.
#undef UNREFERENCED_PARAMETER
#define UNREFERENCED_PARAMETER(P) ((void)(P))

// --- Interlocked pointer operations ------------------------------------------------------------
// wdm.h spells these on x86 as macros that cast their arguments to LONG without parentheses, so an
// argument such as `a ? b : c` would be cast only in part. Inline routines with the same
// parameter types as the documented prototypes (and as the host build declares them) keep the
// arguments whole and typed, and call the same kernel routines as the macros.
#undef InterlockedExchangePointer
#undef InterlockedCompareExchangePointer

FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return reinterpret_cast<PVOID>(InterlockedExchange(reinterpret_cast<LONG volatile*>(Target),
                                                       reinterpret_cast<LONG>(Value)));
}

FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                                    PVOID Comparand) {
    return reinterpret_cast<PVOID>(InterlockedCompareExchange(
        reinterpret_cast<LONG volatile*>(Destination), reinterpret_cast<LONG>(Exchange),
        reinterpret_cast<LONG>(Comparand)));
}

// --- The record around a field ----------------------------------------------------------------
// ntdef.h casts the address to an integer without parentheses, so CONTAINING_RECORD(Pipe - 1, ...)
// would step back one byte instead of one record. The parenthesized form, as the host build
// defines it, so that both builds compute the same address.
#undef CONTAINING_RECORD
#define CONTAINING_RECORD(address, type, field)                                                    \
    ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))
