// Executive pool. Every allocation is recorded with its tag, size and caller; fresh memory is
// filled with a poison pattern; leaks, double frees and foreign pointers are verifier findings.
#pragma once

#include "nt_types.h"
#include "call_site.h"

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
} POOL_TYPE;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes,
                                  ULONG Tag SIM_CALLER_PARAM);
void NTAPI ExFreePool(PVOID P SIM_CALLER_PARAM);
void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag SIM_CALLER_PARAM);
