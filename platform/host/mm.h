// Memory descriptor lists over the simulated 32-bit user address space. A user buffer's address is
// a 32-bit value in that space, not a host pointer; the system address of a locked MDL is.
#pragma once

#include "nt_types.h"
#include "call_site.h"

struct _IRP;

typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

typedef enum _LOCK_OPERATION {
    IoReadAccess = 0,
    IoWriteAccess = 1,
    IoModifyAccess = 2
} LOCK_OPERATION;

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority = 0,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;

#define PAGE_SIZE                   0x1000
#define MDL_MAPPED_TO_SYSTEM_VA     0x0001
#define MDL_PAGES_LOCKED            0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_PARTIAL                 0x0010

// Through an integer: an application's buffer may start on page zero, whose StartVa is null.
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((ULONG_PTR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl)      ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl)     ((Mdl)->ByteOffset)

// Allocates an MDL describing [VirtualAddress, +Length); with Irp set it becomes the IRP's
// MdlAddress (or is chained behind it when SecondaryBuffer is TRUE).
PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, struct _IRP* Irp SIM_CALLER_PARAM);
// Makes TargetMdl describe [VirtualAddress, +Length) inside the buffer of SourceMdl.
void NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress,
                             ULONG Length SIM_CALLER_PARAM);
void NTAPI IoFreeMdl(PMDL Mdl SIM_CALLER_PARAM);

// Raises on an unmapped or (for write access) read-only range: callers go through
// ProbeAndLockPagesGuarded, never call it bare.
void NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                               LOCK_OPERATION Operation SIM_CALLER_PARAM);
void NTAPI MmUnlockPages(PMDL MemoryDescriptorList SIM_CALLER_PARAM);
// The system address of a locked (or partial over a locked) MDL's buffer, or NULL.
PVOID NTAPI MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority SIM_CALLER_PARAM);
