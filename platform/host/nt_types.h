// Basic types, status codes and helper macros with the platform's names and widths: ULONG is 32
// bits, BOOLEAN 8, NTSTATUS a signed 32-bit value; pointer-sized types follow the host.
#pragma once

#include <cstddef>
#include <cstdint>

// The platform's routines and the driver's entry points take their arguments as the i386
// platform passes them (stdcall: the callee pops them), so that a 32-bit build can call the kernel
// image's routines and the image can call the simulator's. Elsewhere there is one convention.
#if defined(__i386__)
#define NTAPI __attribute__((stdcall))
#else
#define NTAPI
#endif
#define IN
#define OUT
#define OPTIONAL
#define VOID                      void
#define FORCEINLINE               inline
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define DECLSPEC_IMPORT

using CHAR = char;
using UCHAR = uint8_t;
using CCHAR = char;
using SHORT = int16_t;
using USHORT = uint16_t;
using CSHORT = int16_t;
using LONG = int32_t;
using ULONG = uint32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using BOOLEAN = uint8_t;
using WCHAR = char16_t;
using LONG_PTR = intptr_t;
using ULONG_PTR = uintptr_t;
using SIZE_T = size_t;
using NTSTATUS = int32_t;
using KIRQL = UCHAR;
using KPROCESSOR_MODE = CCHAR;
using PVOID = void*;
using PCHAR = CHAR*;
using PUCHAR = UCHAR*;
using PUSHORT = USHORT*;
using PULONG = ULONG*;
using PLONG = LONG*;
using PWCHAR = WCHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using PKIRQL = KIRQL*;
using PBOOLEAN = BOOLEAN*;

static_assert(sizeof(ULONG) == 4 && sizeof(USHORT) == 2 && sizeof(BOOLEAN) == 1);
static_assert(sizeof(WCHAR) == 2 && sizeof(NTSTATUS) == 4);

#define TRUE  1
#define FALSE 0

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
using PCUNICODE_STRING = const UNICODE_STRING*;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;
using LPCGUID = const GUID*;
static_assert(sizeof(GUID) == 16);

inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i])
            return false;
    return true;
}

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define STATUS_SUCCESS                  ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0                   ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT                  ((NTSTATUS)0x00000102L)
#define STATUS_PENDING                  ((NTSTATUS)0x00000103L)
#define STATUS_CONTINUE_COMPLETION      STATUS_SUCCESS
#define STATUS_UNSUCCESSFUL             ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED          ((NTSTATUS)0xC0000002L)
#define STATUS_ACCESS_VIOLATION         ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_HANDLE           ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER        ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE           ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST   ((NTSTATUS)0xC0000010L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_ACCESS_DENIED            ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL         ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_NOT_FOUND    ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION    ((NTSTATUS)0xC0000035L)
#define STATUS_DELETE_PENDING           ((NTSTATUS)0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES   ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_DATA_ERROR        ((NTSTATUS)0xC000009CL)
#define STATUS_DEVICE_NOT_CONNECTED     ((NTSTATUS)0xC000009DL)
#define STATUS_NOT_SUPPORTED            ((NTSTATUS)0xC00000BBL)
#define STATUS_IO_TIMEOUT               ((NTSTATUS)0xC00000B5L)
#define STATUS_CANCELLED                ((NTSTATUS)0xC0000120L)
#define STATUS_INVALID_DEVICE_STATE     ((NTSTATUS)0xC0000184L)
#define STATUS_DEVICE_BUSY              ((NTSTATUS)0x80000011L)
#define STATUS_BUFFER_OVERFLOW          ((NTSTATUS)0x80000005L)
#define STATUS_NAME_TOO_LONG            ((NTSTATUS)0xC0000106L)

#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)

#define PASSIVE_LEVEL  0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2

#define KernelMode 0
#define UserMode   1

// Through an integer, as the platform's header does: the record is as aligned as its type
// requires, which a cast from a byte pointer cannot tell the compiler.
#define CONTAINING_RECORD(address, type, field)                                                    \
    ((type*)((ULONG_PTR)(address)-offsetof(type, field)))
