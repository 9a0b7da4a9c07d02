// Pool memory of the driver: every allocation is non-paged and carries the driver's tag.
#pragma once

#include "platform/platform.h"

// The tag reads "Wdm " in a pool dump.
constexpr ULONG WDMUSB_POOL_TAG = 0x206D6457;

// Allocates Bytes of non-paged pool with the driver's tag; NULL when the pool is exhausted.
// Callers free with ExFreePool.
#define AllocateDriverPool(Bytes) ExAllocatePoolWithTag(NonPagedPool, (Bytes), WDMUSB_POOL_TAG)
