// Pool blocks shared by several owners and freed by the last one to let go.
//
// The owner count sits in a header in front of the bytes the owners use, so a counted block is
// handed around by the pointer to its bytes like any other buffer. Taking an ownership from a
// pointer that another thread may replace needs the replacement held off meanwhile (see
// usb/kept_configuration.h); an owner may always take another ownership for someone else.
// Any IRQL up to DISPATCH_LEVEL.
#pragma once

#include "platform/platform.h"

typedef struct _COUNTED_BLOCK_HEADER {
    LONG Owners;
    ULONG Reserved; // keeps the owners' bytes 8-byte aligned
} COUNTED_BLOCK_HEADER, *PCOUNTED_BLOCK_HEADER;

static_assert(sizeof(COUNTED_BLOCK_HEADER) == 8, "the header keeps the bytes after it aligned");

// Bytes of pool to allocate for a counted block of DataBytes.
constexpr SIZE_T CountedBlockBytes(SIZE_T DataBytes) {
    return sizeof(COUNTED_BLOCK_HEADER) + DataBytes;
}

// Makes Allocation (CountedBlockBytes(n) bytes of the driver's pool, or NULL) a counted block of
// one owner; returns its n bytes, or NULL when Allocation is. The caller allocates, so that each
// kind of block keeps an allocation site of its own.
inline PVOID InitializeCountedBlock(PVOID Allocation) {
    if (Allocation == nullptr)
        return nullptr;
    const auto header = static_cast<PCOUNTED_BLOCK_HEADER>(Allocation);
    header->Owners = 1;
    header->Reserved = 0;
    return header + 1;
}

inline PCOUNTED_BLOCK_HEADER CountedBlockHeader(PVOID Data) {
    return static_cast<PCOUNTED_BLOCK_HEADER>(Data) - 1;
}

// One more owner; the caller is an owner already, or holds off whoever could let go of the last.
inline void ReferenceCountedBlock(PVOID Data) {
    InterlockedIncrement(&CountedBlockHeader(Data)->Owners);
}

// One owner fewer; the last one frees the block. Data must not be touched afterwards.
inline void ReleaseCountedBlock(PVOID Data) {
    const PCOUNTED_BLOCK_HEADER header = CountedBlockHeader(Data);
    if (InterlockedDecrement(&header->Owners) == 0)
        ExFreePool(header);
}
