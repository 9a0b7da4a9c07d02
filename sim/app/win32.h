// The platform's user-mode API for an application that runs against the simulated system: what
// <windows.h>, <setupapi.h> and <winioctl.h> give a Windows application, as far as a program that
// finds a device by its interface class and does I/O on it needs. An application source includes
// this header instead of those three on Linux, and public/wdmusb.h after it either way:
//
//     #if defined(_WIN32)
//     #include <windows.h>
//     #include <setupapi.h>
//     #include <winioctl.h>
//     #else
//     #include "sim/app/win32.h"
//     #endif
//     #include "public/wdmusb.h"
//
// The calls behave as the platform's (docs/simulator.md, "Applications"): SetupDi* enumerate the
// enabled interfaces of a class; CreateFile opens one by its device path; ReadFile, WriteFile and
// DeviceIoControl send the I/O manager's requests, synchronous or overlapped; GetLastError gives
// the platform's Win32 error for the NTSTATUS a request ended with. Strings are ANSI: the A
// routines, and the unsuffixed names mapped to them as the platform maps them without UNICODE.
// A simulated system (sim::System, with a device on its bus) must be running while they are
// called; sim/app/simulated_machine.h sets one up.
//
// Buffers: any memory of the application can be read into or written from. A buffer whose
// address a request record carries for the driver (VENDOR_REQUEST's Buffer) must be an address of
// the application's user space: allocate it with VirtualAlloc, on both platforms.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/host/control_codes.h" // winioctl.h's CTL_CODE and its parts
#include "platform/host/nt_types.h"

// --- Types ---------------------------------------------------------------------------------------
#define WINAPI
#define CONST const
using BOOL = int;
using WINBOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using DWORD_PTR = std::uintptr_t;
using HANDLE = void*;
using HWND = void*;
using HDEVINFO = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using PDWORD = DWORD*;
using LPBYTE = BYTE*;
using LPSTR = char*;
using LPCSTR = const char*;
using PCSTR = const char*;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;     // the request's NTSTATUS; STATUS_PENDING while it is in flight
    ULONG_PTR InternalHigh; // the bytes it moved
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE             0xFFFFFFFF
#define WAIT_OBJECT_0        0x00000000
#define WAIT_TIMEOUT         0x00000102
#define WAIT_FAILED          0xFFFFFFFF

// --- CreateFile ----------------------------------------------------------------------------------
#define GENERIC_READ          0x80000000
#define GENERIC_WRITE         0x40000000
#define FILE_SHARE_READ       0x00000001
#define FILE_SHARE_WRITE      0x00000002
#define CREATE_NEW            1
#define CREATE_ALWAYS         2
#define OPEN_EXISTING         3
#define OPEN_ALWAYS           4
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_OVERLAPPED  0x40000000

// --- Virtual memory ------------------------------------------------------------------------------
#define MEM_COMMIT     0x00001000
#define MEM_RESERVE    0x00002000
#define MEM_RELEASE    0x00008000
#define PAGE_NOACCESS  0x01
#define PAGE_READONLY  0x02
#define PAGE_READWRITE 0x04

// --- SetupAPI ------------------------------------------------------------------------------------
#define DIGCF_DEFAULT         0x00000001
#define DIGCF_PRESENT         0x00000002
#define DIGCF_ALLCLASSES      0x00000004
#define DIGCF_PROFILE         0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010
#define SPINT_ACTIVE          0x00000001
#define ANYSIZE_ARRAY         1

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize; // sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A), whatever the buffer's size
    CHAR DevicePath[ANYSIZE_ARRAY];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

// --- Errors (winerror.h): the ones the platform maps the driver's and the bus's statuses to ------
#define ERROR_SUCCESS              0
#define NO_ERROR                   0
#define ERROR_INVALID_FUNCTION     1
#define ERROR_FILE_NOT_FOUND       2
#define ERROR_ACCESS_DENIED        5
#define ERROR_INVALID_HANDLE       6
#define ERROR_NOT_ENOUGH_MEMORY    8
#define ERROR_INVALID_DATA         13
#define ERROR_NOT_READY            21
#define ERROR_BAD_COMMAND          22
#define ERROR_CRC                  23
#define ERROR_BAD_LENGTH           24
#define ERROR_GEN_FAILURE          31
#define ERROR_NOT_SUPPORTED        50
#define ERROR_INVALID_PARAMETER    87
#define ERROR_SEM_TIMEOUT          121
#define ERROR_INSUFFICIENT_BUFFER  122
#define ERROR_BUSY                 170
#define ERROR_ALREADY_EXISTS       183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_MORE_DATA            234
#define ERROR_NO_MORE_ITEMS        259
#define ERROR_MR_MID_NOT_FOUND     317
#define ERROR_OPERATION_ABORTED    995
#define ERROR_IO_INCOMPLETE        996
#define ERROR_IO_PENDING           997
#define ERROR_NOACCESS             998
#define ERROR_INVALID_FLAGS        1004
#define ERROR_IO_DEVICE            1117
#define ERROR_DEVICE_NOT_CONNECTED 1167
#define ERROR_NOT_FOUND            1168
#define ERROR_NO_SYSTEM_RESOURCES  1450
#define ERROR_TIMEOUT              1460
#define ERROR_INVALID_USER_BUFFER  1784

// --- The routines --------------------------------------------------------------------------------
extern "C" {

DWORD WINAPI GetLastError();
void WINAPI SetLastError(DWORD dwErrCode);

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI CloseHandle(HANDLE hObject);
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
BOOL WINAPI CancelIo(HANDLE hFile);

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
void WINAPI Sleep(DWORD dwMilliseconds);

LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType,
                           DWORD flProtect);
BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType);
BOOL WINAPI VirtualProtect(LPVOID lpAddress, SIZE_T dwSize, DWORD flNewProtect,
                           PDWORD lpflOldProtect);

HDEVINFO WINAPI SetupDiGetClassDevsA(CONST GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                     DWORD Flags);
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        CONST GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

} // extern "C"

// Whether an overlapped request has ended (the platform's macro, read atomically here).
inline bool HasOverlappedIoCompleted(const OVERLAPPED* lpOverlapped) {
    return __atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE) !=
           static_cast<ULONG_PTR>(STATUS_PENDING);
}

// The unsuffixed names, as the platform defines them for an application built without UNICODE.
#define CreateFile                       CreateFileA
#define CreateEvent                      CreateEventA
#define SetupDiGetClassDevs              SetupDiGetClassDevsA
#define SetupDiGetDeviceInterfaceDetail  SetupDiGetDeviceInterfaceDetailA
#define SP_DEVICE_INTERFACE_DETAIL_DATA  SP_DEVICE_INTERFACE_DETAIL_DATA_A
#define PSP_DEVICE_INTERFACE_DETAIL_DATA PSP_DEVICE_INTERFACE_DETAIL_DATA_A
